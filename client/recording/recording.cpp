#include <vivaclient/recording.h>

#include <vivaclient/gdal_metadata.h>
#include <vivaclient/tiff_messages.h>

#include <tiffio.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace vivaclient {

// ------------------------------------------------------------ JSON fields

namespace {

void SkipSpace(const std::string& s, size_t& i)
{
    while (i < s.size() && (s[i] == ' ' || s[i] == '\n' || s[i] == '\r' || s[i] == '\t'))
        ++i;
}

// Moves `i` past a string literal starting at s[i] == '"'.
bool SkipString(const std::string& s, size_t& i)
{
    for (++i; i < s.size(); ++i) {
        if (s[i] == '\\')
            ++i;
        else if (s[i] == '"')
            return ++i, true;
    }
    return false;
}

// Moves `i` past one JSON value.
bool SkipValue(const std::string& s, size_t& i)
{
    SkipSpace(s, i);
    if (i >= s.size())
        return false;
    if (s[i] == '"')
        return SkipString(s, i);
    if (s[i] == '{' || s[i] == '[') {
        int depth = 0;
        while (i < s.size()) {
            const char c = s[i];
            if (c == '"') {
                if (!SkipString(s, i))
                    return false;
                continue;
            }
            if (c == '{' || c == '[')
                ++depth;
            else if ((c == '}' || c == ']') && --depth == 0)
                return ++i, true;
            ++i;
        }
        return false;
    }
    const size_t start = i;
    while (i < s.size() && s[i] != ',' && s[i] != '}' && s[i] != ']' && s[i] != ' ' && s[i] != '\n')
        ++i;
    return i > start;
}

std::string Unescape(const std::string& literal)
{
    std::string out;
    for (size_t i = 1; i + 1 < literal.size(); ++i) {
        char c = literal[i];
        if (c != '\\') {
            out += c;
            continue;
        }
        c = literal[++i];
        switch (c) {
        case 'n':
            out += '\n';
            break;
        case 't':
            out += '\t';
            break;
        case 'r':
            out += '\r';
            break;
        case 'b':
            out += '\b';
            break;
        case 'f':
            out += '\f';
            break;
        case 'u': {
            const unsigned code = static_cast<unsigned>(std::strtoul(literal.substr(i + 1, 4).c_str(), nullptr, 16));
            i += 4;
            if (code < 0x80) {
                out += static_cast<char>(code);
            } else if (code < 0x800) {
                out += static_cast<char>(0xC0 | (code >> 6));
                out += static_cast<char>(0x80 | (code & 0x3F));
            } else {
                out += static_cast<char>(0xE0 | (code >> 12));
                out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
                out += static_cast<char>(0x80 | (code & 0x3F));
            }
            break;
        }
        default:
            out += c;
            break;  // '"', '\\', '/'
        }
    }
    return out;
}

}  // namespace

std::optional<std::string> JsonField(const std::string& object, const std::string& key)
{
    const size_t dot = key.find('.');
    const std::string first = key.substr(0, dot);
    size_t i = 0;
    SkipSpace(object, i);
    if (i >= object.size() || object[i] != '{')
        return std::nullopt;
    ++i;
    for (;;) {
        SkipSpace(object, i);
        if (i >= object.size() || object[i] != '"')
            return std::nullopt;
        const size_t keyStart = i;
        if (!SkipString(object, i))
            return std::nullopt;
        const std::string name = Unescape(object.substr(keyStart, i - keyStart));
        SkipSpace(object, i);
        if (i >= object.size() || object[i] != ':')
            return std::nullopt;
        ++i;
        SkipSpace(object, i);
        const size_t valueStart = i;
        if (!SkipValue(object, i))
            return std::nullopt;
        if (name == first) {
            const std::string value = object.substr(valueStart, i - valueStart);
            return dot == std::string::npos ? std::optional<std::string>(value) : JsonField(value, key.substr(dot + 1));
        }
        SkipSpace(object, i);
        if (i >= object.size() || object[i] != ',')
            return std::nullopt;
        ++i;
    }
}

std::vector<std::string> JsonKeys(const std::string& object)
{
    std::vector<std::string> keys;
    size_t i = 0;
    SkipSpace(object, i);
    if (i >= object.size() || object[i] != '{')
        return keys;
    ++i;
    for (;;) {
        SkipSpace(object, i);
        const size_t keyStart = i;
        if (i >= object.size() || object[i] != '"' || !SkipString(object, i))
            return keys;
        keys.push_back(Unescape(object.substr(keyStart, i - keyStart)));
        SkipSpace(object, i);
        if (i >= object.size() || object[i] != ':')
            return keys;
        ++i;
        if (!SkipValue(object, i))
            return keys;
        SkipSpace(object, i);
        if (i >= object.size() || object[i] != ',')
            return keys;
        ++i;
    }
}

std::optional<double> JsonNumber(const std::string& object, const std::string& key)
{
    const auto raw = JsonField(object, key);
    if (!raw || raw->empty())
        return std::nullopt;
    char* end = nullptr;
    const double value = std::strtod(raw->c_str(), &end);
    if (end != raw->c_str() + raw->size() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

std::optional<std::string> JsonText(const std::string& object, const std::string& key)
{
    const auto raw = JsonField(object, key);
    if (!raw || raw->size() < 2 || raw->front() != '"')
        return std::nullopt;
    return Unescape(*raw);
}

// ------------------------------------------------------------- libtiff glue

namespace {

using Options = TiffMessages;

std::string ErrnoText(int error)
{
    return std::strerror(error);
}

constexpr uint16_t kClassicMagic = 42;
constexpr uint16_t kBigMagic = 43;

uint64_t ReadLittle(const uint8_t* p, int bytes)
{
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}

// Makes IFD number `pages` (counted from 1) the last one of a little-endian
// TIFF written by us: its next-IFD offset becomes 0. False on a read or
// write failure.
bool EndChainAfter(int fd, uint64_t pages)
{
    uint8_t header[16];
    if (pread(fd, header, sizeof header, 0) != static_cast<ssize_t>(sizeof header))
        return false;
    const bool big = ReadLittle(header + 2, 2) == kBigMagic;
    const int offsetBytes = big ? 8 : 4;
    const int countBytes = big ? 8 : 2;
    const int entryBytes = big ? 20 : 12;
    uint64_t ifd = big ? ReadLittle(header + 8, 8) : ReadLittle(header + 4, 4);
    for (uint64_t page = 1; ifd != 0; ++page) {
        uint8_t count[8];
        if (pread(fd, count, static_cast<size_t>(countBytes), static_cast<off_t>(ifd)) != countBytes)
            return false;
        const uint64_t nextAt = ifd + static_cast<uint64_t>(countBytes) +
                                ReadLittle(count, countBytes) * static_cast<uint64_t>(entryBytes);
        if (page == pages) {
            const uint8_t zero[8] = {};
            return pwrite(fd, zero, static_cast<size_t>(offsetBytes), static_cast<off_t>(nextAt)) == offsetBytes;
        }
        uint8_t next[8];
        if (pread(fd, next, static_cast<size_t>(offsetBytes), static_cast<off_t>(nextAt)) != offsetBytes)
            return false;
        ifd = ReadLittle(next, offsetBytes);
    }
    return false;
}

uint64_t ReadValue(const uint8_t* p, int bytes, bool bigEndian)
{
    if (!bigEndian)
        return ReadLittle(p, bytes);
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i)
        v = (v << 8) | p[i];
    return v;
}

// Bytes of one value of a TIFF field type; 1 for types this reader does not know.
uint64_t TypeBytes(uint64_t type)
{
    switch (type) {
    case 3:
    case 8:
        return 2;  // SHORT, SSHORT
    case 4:
    case 9:
    case 11:
    case 13:
        return 4;  // LONG, SLONG, FLOAT, IFD
    case 5:
    case 10:
    case 12:
    case 16:
    case 17:
    case 18:
        return 8;  // RATIONALs, DOUBLE, LONG8, SLONG8, IFD8
    default:
        return 1;
    }
}

// Walks every directory of the TIFF file behind `fd` and checks that each
// one, its next-directory offset and every value stored outside it lie
// within the file. libtiff quietly drops a value that does not, so a cut
// file would otherwise pass for a shorter one. Returns "" or what is wrong.
std::string CheckStructure(int fd, uint64_t fileSize)
{
    uint8_t header[16] = {};
    if (pread(fd, header, sizeof header, 0) < 8)
        return "its header is cut short";
    const bool bigEndian = header[0] == 'M';
    const bool big = ReadValue(header + 2, 2, bigEndian) == kBigMagic;
    const int offsetBytes = big ? 8 : 4;
    const int countBytes = big ? 8 : 2;
    const int entryBytes = big ? 20 : 12;
    uint64_t ifd = big ? ReadValue(header + 8, 8, bigEndian) : ReadValue(header + 4, 4, bigEndian);
    std::vector<uint8_t> entries;
    for (uint64_t page = 1; ifd != 0; ++page) {
        const std::string where = "page " + std::to_string(page);
        if (page > fileSize / 8)
            return "its pages form a loop";
        uint8_t count[8];
        if (ifd > fileSize || fileSize - ifd < static_cast<uint64_t>(countBytes) ||
            pread(fd, count, static_cast<size_t>(countBytes), static_cast<off_t>(ifd)) != countBytes)
            return where + " begins beyond the file's end";
        const uint64_t n = ReadValue(count, countBytes, bigEndian);
        const uint64_t tableBytes = n * static_cast<uint64_t>(entryBytes) + static_cast<uint64_t>(offsetBytes);
        if (n > fileSize || fileSize - ifd - static_cast<uint64_t>(countBytes) < tableBytes)
            return where + "'s directory ends beyond the file's end";
        entries.resize(static_cast<size_t>(tableBytes));
        if (pread(fd, entries.data(), entries.size(), static_cast<off_t>(ifd) + countBytes) !=
            static_cast<ssize_t>(entries.size()))
            return where + "'s directory cannot be read";
        for (uint64_t e = 0; e < n; ++e) {
            const uint8_t* entry = entries.data() + e * static_cast<uint64_t>(entryBytes);
            const uint64_t type = ReadValue(entry + 2, 2, bigEndian);
            const uint64_t values = ReadValue(entry + 4, offsetBytes, bigEndian);
            const uint64_t bytes = values > fileSize ? fileSize + 1 : values * TypeBytes(type);
            if (bytes <= static_cast<uint64_t>(offsetBytes))
                continue;  // stored in the entry itself
            const uint64_t at = ReadValue(entry + 4 + offsetBytes, offsetBytes, bigEndian);
            if (at > fileSize || bytes > fileSize - at)
                return where + "'s field " + std::to_string(ReadValue(entry, 2, bigEndian)) +
                       " ends beyond the file's end";
        }
        ifd = ReadValue(entries.data() + n * static_cast<uint64_t>(entryBytes), offsetBytes, bigEndian);
    }
    return "";
}

}  // namespace

// --------------------------------------------------------------- writer

// The writer's file: libtiff writes through these procedures, so a failed
// write is seen with its errno and every write after it is refused (libtiff
// would otherwise try to write the unfinished page's directory on close).
struct RecordingWriter::File {
    int fd = -1;
    TIFF* tif = nullptr;
    bool failed = false;  // a write failed: no more writes reach the file
    int error = 0;        // the errno of that write
    std::string messages;

    static tmsize_t Read(thandle_t h, void* buffer, tmsize_t size)
    {
        return read(static_cast<File*>(h)->fd, buffer, static_cast<size_t>(size));
    }
    static tmsize_t Write(thandle_t h, void* buffer, tmsize_t size)
    {
        File* f = static_cast<File*>(h);
        if (f->failed) {
            errno = f->error;
            return -1;
        }
        const char* p = static_cast<const char*>(buffer);
        tmsize_t left = size;
        while (left > 0) {
            const ssize_t n = write(f->fd, p, static_cast<size_t>(left));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                f->failed = true;
                f->error = n < 0 ? errno : ENOSPC;
                return -1;
            }
            p += n;
            left -= n;
        }
        return size;
    }
    static toff_t Seek(thandle_t h, toff_t offset, int whence)
    {
        return static_cast<toff_t>(lseek(static_cast<File*>(h)->fd, static_cast<off_t>(offset), whence));
    }
    static int Close(thandle_t) { return 0; }  // the descriptor is closed by the writer
    static toff_t Size(thandle_t h)
    {
        struct stat st {};
        return fstat(static_cast<File*>(h)->fd, &st) == 0 ? static_cast<toff_t>(st.st_size) : 0;
    }
    static int Map(thandle_t, void**, toff_t*) { return 0; }
    static void Unmap(thandle_t, void*, toff_t) {}
};

RecordingWriter::RecordingWriter() = default;

RecordingWriter::~RecordingWriter()
{
    Close();
}

std::string RecordingWriter::Create(const std::string& path, const RecordingLayout& layout, bool bigTiff)
{
    Close();
    path_ = path;
    layout_ = layout;
    frames_ = 0;
    goodSize_ = 0;
    failure_.clear();
    RegisterGdalMetadataTag();
    auto file = std::make_unique<File>();
    file->fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (file->fd < 0)
        return "cannot create " + path + ": " + ErrnoText(errno);
    Options options(&file->messages);
    file->tif = TIFFClientOpenExt(path.c_str(), bigTiff ? "w8l" : "wl", file.get(), File::Read, File::Write, File::Seek,
                                  File::Close, File::Size, File::Map, File::Unmap, options.options);
    if (!file->tif) {
        const std::string why = file->failed ? ErrnoText(file->error) : file->messages;
        close(file->fd);
        unlink(path.c_str());
        return "cannot create " + path + ": " + why;
    }
    file_ = std::move(file);
    DescribePlanes();
    return "";
}

namespace {

std::string JsonString(const std::string& text)
{
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        if (static_cast<unsigned char>(c) >= 0x20)
            out += c;
    }
    return out + "\"";
}

}  // namespace

// What the values of each kind of page mean, said once per file.
void RecordingWriter::DescribePlanes()
{
    const TemperatureUnit& unit = layout_.unit;
    char scale[96];
    std::snprintf(scale, sizeof scale, ",\"scale\":%g,\"offset\":%g,\"unit_number\":%d", kTemperatureScale,
                  kTemperatureOffset, unit.number);
    imageMeaning_ = ",\"unit\":\"counts\"";
    temperatureMeaning_ = ",\"unit\":" + JsonString(unit.symbol) + scale +
                          ",\"unit_name\":" + JsonString(unit.declared() ? unit.name : "undeclared");
    imageGdal_ = GdalMetadataXml(GdalBandItems(1, 0, "counts", "image plane, raw counts"));
    std::vector<GdalItem> items = {{"TEMPERATURE_UNIT", unit.symbol, ""},
                                   {"TEMPERATURE_UNIT_NAME", unit.declared() ? unit.name : "undeclared", ""},
                                   {"TEMPERATURE_UNIT_NUMBER", std::to_string(unit.number), ""}};
    for (GdalItem& band : GdalBandItems(kTemperatureScale, kTemperatureOffset, unit.symbol, "temperature"))
        items.push_back(std::move(band));
    temperatureGdal_ = GdalMetadataXml(items);
}

std::string RecordingWriter::Fail(const std::string& what)
{
    const std::string why = file_->failed ? ErrnoText(file_->error) : file_->messages;
    failure_ = "writing " + path_ + " failed (" + what + (why.empty() ? "" : ": " + why) + ")";
    // Refuse every further write, then close: libtiff's last flush goes nowhere.
    if (!file_->failed) {
        file_->failed = true;
        file_->error = EIO;
    }
    TIFFClose(file_->tif);
    file_->tif = nullptr;
    if (frames_ == 0) {
        unlink(path_.c_str());
    } else {
        // Cut the unfinished frame off: the last complete page ends the
        // chain and the file ends where that frame ended.
        const uint64_t pages = frames_ * (layout_.withTemp ? 2 : 1);
        if (!EndChainAfter(file_->fd, pages) || ftruncate(file_->fd, static_cast<off_t>(goodSize_)) != 0)
            failure_ += "; the file could not be repaired after it";
    }
    close(file_->fd);
    file_.reset();
    return failure_;
}

std::string RecordingWriter::WritePage(const void* data, bool temperature, uint64_t sequence, double time,
                                       const std::string& description, const PageMarks& marks)
{
    TIFF* tif = file_->tif;
    char fields[160];
    std::snprintf(fields, sizeof fields, "{\"frame\":%llu,\"sequence\":%llu,\"time\":%.6f,\"plane\":\"%s\"",
                  static_cast<unsigned long long>(frames_), static_cast<unsigned long long>(sequence), time,
                  temperature ? "temperature" : "image");
    std::string text = fields;
    if (marks.afterGap)
        text += ",\"gap\":true";
    if (marks.shutter)
        text += ",\"shutter\":true";
    if (marks.settling)
        text += ",\"settling\":true";
    if (marks.lastCorrection) {
        char last[48];
        std::snprintf(last, sizeof last, ",\"last_correction\":%.6f", *marks.lastCorrection);
        text += last;
    }
    text += temperature ? temperatureMeaning_ : imageMeaning_;
    // The first page also carries the recording's own description.
    if (frames_ == 0 && !temperature && description.size() > 2) {
        const size_t open = description.find('{');
        const size_t close = description.rfind('}');
        if (open != std::string::npos && close != std::string::npos && close > open + 1)
            text += "," + description.substr(open + 1, close - open - 1);
    }
    text += "}";
    const std::string pageName = "frame " + std::to_string(frames_) + (temperature ? " temperature" : " image");
    const uint32_t width = static_cast<uint32_t>(layout_.width);
    const uint32_t height = static_cast<uint32_t>(layout_.height);
    TIFFSetField(tif, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 16);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, temperature ? SAMPLEFORMAT_INT : SAMPLEFORMAT_UINT);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, height);
    TIFFSetField(tif, TIFFTAG_IMAGEDESCRIPTION, text.c_str());
    TIFFSetField(tif, TIFFTAG_PAGENAME, pageName.c_str());
    TIFFSetField(tif, TIFFTAG_GDAL_METADATA, (temperature ? temperatureGdal_ : imageGdal_).c_str());
    const tmsize_t bytes = static_cast<tmsize_t>(width) * height * 2;
    if (TIFFWriteEncodedStrip(tif, 0, const_cast<void*>(data), bytes) != bytes || file_->failed)
        return Fail(pageName);
    if (!TIFFWriteDirectory(tif) || file_->failed)
        return Fail(pageName);
    return "";
}

std::string RecordingWriter::Append(const uint16_t* image, const int16_t* temp, uint64_t sequence, double time,
                                    const std::string& description, const PageMarks& marks)
{
    if (!failure_.empty())
        return failure_;
    if (!file_)
        return "no recording file is open";
    if (std::string error = WritePage(image, false, sequence, time, description, marks); !error.empty())
        return error;
    if (layout_.withTemp) {
        if (std::string error = WritePage(temp, true, sequence, time, description, marks); !error.empty())
            return error;
    }
    struct stat st {};
    if (fstat(file_->fd, &st) == 0)
        goodSize_ = static_cast<uint64_t>(st.st_size);
    ++frames_;
    return "";
}

std::string RecordingWriter::Close()
{
    if (!file_)
        return failure_;
    TIFFClose(file_->tif);
    std::string result;
    if (file_->failed)
        result = "writing " + path_ + " failed: " + ErrnoText(file_->error);
    if (close(file_->fd) != 0 && result.empty())
        result = "closing " + path_ + " failed: " + ErrnoText(errno);
    if (frames_ == 0)
        unlink(path_.c_str());  // a TIFF without a page is no TIFF at all
    file_.reset();
    failure_ = result;
    return result;
}

// --------------------------------------------------------------- reader

struct RecordingReader::File {
    TIFF* tif = nullptr;
    std::string messages;
    ~File()
    {
        if (tif)
            TIFFClose(tif);
    }
};

RecordingReader::RecordingReader() = default;
RecordingReader::~RecordingReader() = default;

double RecordingReader::rate() const
{
    if (times_.size() >= 2 && times_.back() > times_.front())
        return static_cast<double>(times_.size() - 1) / (times_.back() - times_.front());
    return JsonNumber(description_, "frame_rate").value_or(0.0);
}

namespace {

// Says plainly what a file is before libtiff has its say: not there, not a
// TIFF file, or one whose structure is cut or damaged. Sets `fileSize`.
std::string CheckTiffFile(const std::string& path, uint64_t& fileSize)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return "cannot open " + path + ": " + ErrnoText(errno);
    uint8_t head[4] = {};
    struct stat st {};
    const ssize_t got = read(fd, head, sizeof head);
    const bool statted = fstat(fd, &st) == 0;
    const bool little = head[0] == 'I' && head[1] == 'I' && (head[2] == kClassicMagic || head[2] == kBigMagic) &&
                        head[3] == 0;
    const bool bigEndian = head[0] == 'M' && head[1] == 'M' && head[2] == 0 &&
                           (head[3] == kClassicMagic || head[3] == kBigMagic);
    if (got != 4 || !statted || !(little || bigEndian)) {
        close(fd);
        return path + " is not a TIFF file";
    }
    fileSize = static_cast<uint64_t>(st.st_size);
    const std::string damage = CheckStructure(fd, fileSize);
    close(fd);
    if (!damage.empty())
        return path + " is truncated or damaged: " + damage + " (" + std::to_string(fileSize) + " bytes)";
    return "";
}

}  // namespace

std::string RecordingReader::Open(const std::string& path)
{
    file_.reset();
    path_ = path;
    times_.clear();
    sequences_.clear();
    marks_.clear();
    description_.clear();
    layout_ = RecordingLayout{};

    uint64_t fileSize = 0;
    if (std::string error = CheckTiffFile(path, fileSize); !error.empty())
        return error;
    RegisterGdalMetadataTag();
    auto file = std::make_unique<File>();
    {
        Options options(&file->messages);
        file->tif = TIFFOpenExt(path.c_str(), "rm", options.options);
    }
    if (!file->tif)
        return path + " is not a readable TIFF file (" + file->messages + ")";
    TIFF* tif = file->tif;
    if (std::string error = ReadLayout(tif); !error.empty())
        return error;
    const int perFrame = layout_.withTemp ? 2 : 1;
    for (uint64_t page = 0;; ++page) {
        if (std::string error = ReadPage(tif, page, fileSize); !error.empty())
            return error;
        if (TIFFLastDirectory(tif)) {
            if (layout_.withTemp && page % 2 == 0)
                return path + " is truncated: frame " + std::to_string(page / 2) +
                       " has its image page but not its temperature page";
            break;
        }
        if (!TIFFReadDirectory(tif))
            return path + " is truncated or damaged after page " + std::to_string(page + 1) +
                   (file->messages.empty() ? "" : " (" + file->messages + ")") + "; the " +
                   std::to_string((page + 1) / perFrame) + " frames before it are complete";
    }
    file_ = std::move(file);
    return "";
}

// The recording's description on the first page: its format, size and layout.
std::string RecordingReader::ReadLayout(TIFF* tif)
{
    const std::string& path = path_;
    char* text = nullptr;
    if (TIFFGetField(tif, TIFFTAG_IMAGEDESCRIPTION, &text) != 1 || !text ||
        JsonText(text, "format").value_or("") != kRecordingFormat)
        return path + " is a TIFF file but not a recording (its first page has no recording description)";
    description_ = text;
    const auto width = JsonNumber(description_, "width");
    const auto height = JsonNumber(description_, "height");
    const auto layoutName = JsonText(description_, "layout");
    if (!width || !height || *width < 1 || *height < 1 || *width > 65535 || *height > 65535 || !layoutName ||
        (*layoutName != "image and temperature" && *layoutName != "image only"))
        return path + ": the recording description lacks a valid width, height or layout";
    layout_.width = static_cast<int>(*width);
    layout_.height = static_cast<int>(*height);
    layout_.withTemp = *layoutName == "image and temperature";
    const auto unitNumber = JsonNumber(description_, "settings.temp-unit");
    layout_.unit = DeclaredUnit(unitNumber ? static_cast<int>(*unitNumber) : -1);
    return "";
}

// Checks the current page against the layout, and that its data lies
// inside the file (a cut file is caught here, not halfway through a
// replay); an image page adds its frame's time, sequence and gap mark.
std::string RecordingReader::ReadPage(TIFF* tif, uint64_t page, uint64_t fileSize)
{
    const std::string& path = path_;
    const int perFrame = layout_.withTemp ? 2 : 1;
    const uint64_t planeBytes = static_cast<uint64_t>(layout_.width) * static_cast<uint64_t>(layout_.height) * 2;
    const bool temperature = layout_.withTemp && page % 2 == 1;
    const std::string where = path + ": page " + std::to_string(page + 1) + " (frame " +
                              std::to_string(page / perFrame) + (temperature ? ", temperature)" : ", image)");
    uint32_t w = 0, h = 0;
    uint16_t bits = 0, samples = 0, format = SAMPLEFORMAT_UINT, compression = COMPRESSION_NONE;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &format);
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
    if (w != static_cast<uint32_t>(layout_.width) || h != static_cast<uint32_t>(layout_.height))
        return where + " is " + std::to_string(w) + "x" + std::to_string(h) + ", not " + std::to_string(layout_.width) +
               "x" + std::to_string(layout_.height) + " like the recording";
    const uint16_t wanted = temperature ? SAMPLEFORMAT_INT : SAMPLEFORMAT_UINT;
    if (bits != 16 || samples != 1 || format != wanted || TIFFIsTiled(tif))
        return where + " is not one plane of 16-bit " + (temperature ? "signed" : "unsigned") + " samples";
    uint64_t* offsets = nullptr;
    uint64_t* counts = nullptr;
    const uint32_t strips = TIFFNumberOfStrips(tif);
    if (TIFFGetField(tif, TIFFTAG_STRIPOFFSETS, &offsets) != 1 ||
        TIFFGetField(tif, TIFFTAG_STRIPBYTECOUNTS, &counts) != 1 || !offsets || !counts)
        return where + " has no image data";
    uint64_t total = 0;
    for (uint32_t s = 0; s < strips; ++s) {
        if (offsets[s] > fileSize || counts[s] > fileSize - offsets[s])
            return path + " is truncated: " + where.substr(path.size() + 2) + " ends beyond the file's end (" +
                   std::to_string(fileSize) + " bytes); the " + std::to_string(page / perFrame) +
                   " frames before it are complete";
        total += counts[s];
    }
    if (compression == COMPRESSION_NONE && total < planeBytes)
        return where + " holds " + std::to_string(total) + " bytes, not the " + std::to_string(planeBytes) +
               " of a plane";
    char* pageText = nullptr;
    std::string pageDescription;
    if (TIFFGetField(tif, TIFFTAG_IMAGEDESCRIPTION, &pageText) == 1 && pageText)
        pageDescription = pageText;
    if (temperature && page == 1) {
        const auto symbol = JsonText(pageDescription, "unit");
        if (symbol)
            layout_.unit = UnitFromFile(static_cast<int>(JsonNumber(pageDescription, "unit_number").value_or(-1)),
                                        *symbol);
    }
    if (!temperature) {
        times_.push_back(JsonNumber(pageDescription, "time").value_or(0.0));
        sequences_.push_back(static_cast<uint64_t>(JsonNumber(pageDescription, "sequence").value_or(0.0)));
        PageMarks marks;
        marks.afterGap = JsonField(pageDescription, "gap").value_or("") == "true";
        marks.shutter = JsonField(pageDescription, "shutter").value_or("") == "true";
        marks.settling = JsonField(pageDescription, "settling").value_or("") == "true";
        marks.lastCorrection = JsonNumber(pageDescription, "last_correction");
        marks_.push_back(marks);
    }
    return "";
}

std::string RecordingReader::Read(size_t index, RecordedFrame& frame)
{
    if (!file_ || index >= frames())
        return "no frame " + std::to_string(index) + " in " + path_;
    TIFF* tif = file_->tif;
    const int perFrame = layout_.withTemp ? 2 : 1;
    const size_t samples = static_cast<size_t>(layout_.width) * static_cast<size_t>(layout_.height);
    frame.sequence = sequences_[index];
    frame.time = times_[index];
    frame.afterGap = marks_[index].afterGap;
    frame.marks = marks_[index];
    frame.image.resize(samples);
    frame.temp.resize(layout_.withTemp ? samples : 0);
    for (int plane = 0; plane < perFrame; ++plane) {
        const tdir_t page = static_cast<tdir_t>(index * perFrame + plane);
        const bool ok = TIFFCurrentDirectory(tif) + 1 == page ? TIFFReadDirectory(tif) == 1
                        : TIFFCurrentDirectory(tif) == page   ? true
                                                              : TIFFSetDirectory(tif, page) == 1;
        if (!ok)
            return path_ + ": cannot read page " + std::to_string(page + 1) + " (" + file_->messages + ")";
        uint8_t* dst = plane == 0 ? reinterpret_cast<uint8_t*>(frame.image.data())
                                  : reinterpret_cast<uint8_t*>(frame.temp.data());
        tmsize_t left = static_cast<tmsize_t>(samples * 2);
        const uint32_t strips = TIFFNumberOfStrips(tif);
        for (uint32_t s = 0; s < strips && left > 0; ++s) {
            const tmsize_t n = TIFFReadEncodedStrip(tif, s, dst, left);
            if (n < 0)
                return path_ + ": cannot read page " + std::to_string(page + 1) + " (" + file_->messages + ")";
            dst += n;
            left -= n;
        }
        if (left != 0)
            return path_ + ": page " + std::to_string(page + 1) + " holds less than a plane";
    }
    return "";
}

}  // namespace vivaclient
