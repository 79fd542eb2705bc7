#include "state_file.h"

#include "vcam_bridge.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vcam {
namespace detail {

namespace {

// One setting: its key, and its numbers in the model (one, or an array).
struct Field {
    const char* key;
    int count;  // 1: a plain number, else an array of that length
    long long (*get)(const Model&, int);
    void (*set)(Model&, int, long long);
};

const Field kFields[] = {
    {"palette", 1, [](const Model& m, int) -> long long { return m.palette; },
     [](Model& m, int, long long v) { m.palette = static_cast<int>(v); }},
    {"temp_level_code", 1, [](const Model& m, int) -> long long { return m.tempLevelCode; },
     [](Model& m, int, long long v) { m.tempLevelCode = static_cast<int>(v); }},
    {"temp_unit", 1, [](const Model& m, int) -> long long { return m.tempUnit; },
     [](Model& m, int, long long v) { m.tempUnit = static_cast<int>(v); }},
    {"image_level", 1, [](const Model& m, int) -> long long { return m.imageLevel; },
     [](Model& m, int, long long v) { m.imageLevel = static_cast<int>(v); }},
    {"env", 5, [](const Model& m, int i) -> long long { return m.env[i]; },
     [](Model& m, int i, long long v) { m.env[i] = static_cast<int32_t>(v); }},
    {"tuning", 6, [](const Model& m, int i) -> long long { return m.tuning[i]; },
     [](Model& m, int i, long long v) { m.tuning[i] = static_cast<int>(v); }},
};

bool SameSettings(const Model& a, const Model& b)
{
    for (const Field& f : kFields)
        for (int i = 0; i < f.count; ++i)
            if (f.get(a, i) != f.get(b, i))
                return false;
    return true;
}

// A small reader for the file's own shape of JSON.
class Reader {
public:
    explicit Reader(const std::string& text) : text_(text) {}

    bool Punct(char c)
    {
        Skip();
        if (pos_ < text_.size() && text_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }
    bool String(std::string* out)
    {
        if (!Punct('"'))
            return false;
        const size_t end = text_.find('"', pos_);
        if (end == std::string::npos)
            return false;
        *out = text_.substr(pos_, end - pos_);
        pos_ = end + 1;
        return true;
    }
    bool Number(long long* out)
    {
        Skip();
        const char* begin = text_.c_str() + pos_;
        char* end = nullptr;
        errno = 0;
        *out = std::strtoll(begin, &end, 10);
        if (end == begin || errno)
            return false;
        pos_ += static_cast<size_t>(end - begin);
        return true;
    }
    bool AtEnd()
    {
        Skip();
        return pos_ == text_.size();
    }

private:
    void Skip()
    {
        while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_])))
            ++pos_;
    }
    const std::string& text_;
    size_t pos_ = 0;
};

bool ReadCamera(Reader& in, Model* model)
{
    if (!in.Punct('{'))
        return false;
    if (in.Punct('}'))
        return true;
    do {
        std::string key;
        if (!in.String(&key) || !in.Punct(':'))
            return false;
        std::vector<long long> numbers;
        long long n = 0;
        if (in.Punct('[')) {
            if (!in.Punct(']')) {
                do {
                    if (!in.Number(&n))
                        return false;
                    numbers.push_back(n);
                } while (in.Punct(','));
                if (!in.Punct(']'))
                    return false;
            }
        } else {
            if (!in.Number(&n))
                return false;
            numbers.push_back(n);
        }
        for (const Field& f : kFields)
            if (key == f.key && static_cast<int>(numbers.size()) == f.count)
                for (int i = 0; i < f.count; ++i)
                    f.set(*model, i, numbers[static_cast<size_t>(i)]);
    } while (in.Punct(','));
    return in.Punct('}');
}

// Whole-file reads and writes on a descriptor (never through the emulator's
// interposers, whose lock the caller may hold: plain read/write/lseek only).
std::string ReadAll(int fd)
{
    std::string text;
    if (lseek(fd, 0, SEEK_SET) < 0)
        return text;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        text.append(buf, static_cast<size_t>(n));
    return text;
}

bool WriteAll(int fd, const std::string& text)
{
    if (ftruncate(fd, 0) != 0)
        return false;
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = pwrite(fd, text.data() + done, text.size() - done, static_cast<off_t>(done));
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

std::string EncodeSettings(const std::vector<Model>& models)
{
    std::string out = "{\"cameras\": [";
    for (size_t c = 0; c < models.size(); ++c) {
        out += c ? ",\n  {" : "\n  {";
        bool firstKey = true;
        for (const Field& f : kFields) {
            out += firstKey ? "\"" : ", \"";
            firstKey = false;
            out += f.key;
            out += "\": ";
            if (f.count > 1)
                out += "[";
            for (int i = 0; i < f.count; ++i)
                out += (i ? ", " : "") + std::to_string(f.get(models[c], i));
            if (f.count > 1)
                out += "]";
        }
        out += "}";
    }
    out += "\n]}\n";
    return out;
}

bool DecodeSettings(const std::string& text, std::vector<Model>* models)
{
    Reader in(text);
    std::string key;
    if (!in.Punct('{') || !in.String(&key) || key != "cameras" || !in.Punct(':') || !in.Punct('['))
        return false;
    size_t index = 0;
    if (!in.Punct(']')) {
        do {
            if (models->size() <= index)
                models->resize(index + 1);
            if (!ReadCamera(in, &(*models)[index]))
                return false;
            ++index;
        } while (in.Punct(','));
        if (!in.Punct(']'))
            return false;
    }
    return in.Punct('}') && in.AtEnd();
}

bool UpdateThroughStateFile(const std::string& path, int ordinal, Model& model,
                            const std::function<void(Model&)>& change)
{
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        // Said once: the camera goes on without remembering its settings.
        static std::atomic<bool> warned{false};
        if (!warned.exchange(true))
            std::fprintf(stderr, "vivazuzoz-vcam: cannot open the state file %s (%s); settings are not kept\n",
                         path.c_str(), std::strerror(errno));
        change(model);
        return false;
    }
    while (flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    std::vector<Model> models;
    const bool parsed = DecodeSettings(ReadAll(fd), &models);
    if (!parsed)
        models.clear();
    const bool listed = static_cast<int>(models.size()) > ordinal;
    if (listed) {
        for (const Field& f : kFields)
            for (int i = 0; i < f.count; ++i)
                f.set(model, i, f.get(models[static_cast<size_t>(ordinal)], i));
    }
    const Model before = model;
    change(model);
    if (!listed || !SameSettings(before, model)) {
        if (!listed)
            models.resize(static_cast<size_t>(ordinal) + 1);
        models[static_cast<size_t>(ordinal)] = model;
        WriteAll(fd, EncodeSettings(models));
    }
    // Closing drops the lock. Not through the close interposer: it takes
    // the emulator's lock, which the caller may hold.
    vcam_real_close(fd);
    return true;
}

}  // namespace detail
}  // namespace vcam
