#include "core_output.h"

#include <VIVAZUZOZ.h>

#include <execinfo.h>
#include <link.h>

#include <cstdint>
#include <vector>

namespace vivaclient {

// One captured C stream.
struct CoreOutput::Stream {
    CoreOutput* owner;
    FILE* real;           // the stream it stands in for
    bool error;           // stands in for stderr
    std::string partial;  // a line begun, for the listener; guarded by owner->mutex_
};

namespace {

std::mutex g_installMutex;
CoreOutput* g_instance = nullptr;  // guarded by g_installMutex; lives to the end of the process

// The library's code in memory: the executable segments of the object that
// holds OZL_USB_Init. Written once, before any capture exists.
struct CodeRange {
    uintptr_t begin, end;
};
std::vector<CodeRange> g_libraryCode;

// Set while this thread hands lines to the listener: what the listener
// writes (a debug log on stderr) is not the library's, and never goes back
// to the listener.
thread_local bool t_passing = false;

int FindLibraryCode(dl_phdr_info* info, size_t, void* data)
{
    const auto target = reinterpret_cast<uintptr_t>(data);
    std::vector<CodeRange> code;
    bool holds = false;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = info->dlpi_phdr[i];
        if (segment.p_type != PT_LOAD || !(segment.p_flags & PF_X))
            continue;
        const CodeRange range{info->dlpi_addr + segment.p_vaddr, info->dlpi_addr + segment.p_vaddr + segment.p_memsz};
        code.push_back(range);
        holds = holds || (target >= range.begin && target < range.end);
    }
    // The library linked into the program itself (a test) is not told
    // apart from the program: nothing is taken then.
    if (!holds)
        return 0;
    if (info->dlpi_name && *info->dlpi_name)
        g_libraryCode = code;
    return 1;
}

// Whether the library's code is on this thread's stack: the write is the library's.
bool FromLibrary()
{
    void* frames[48];
    const int depth = backtrace(frames, 48);
    for (int i = 0; i < depth; ++i) {
        const auto at = reinterpret_cast<uintptr_t>(frames[i]);
        for (const CodeRange& range : g_libraryCode)
            if (at >= range.begin && at < range.end)
                return true;
    }
    return false;
}

}  // namespace

CoreOutput& CoreOutput::Make(bool captureErrors, bool libraryOnly)
{
    dl_iterate_phdr(FindLibraryCode, reinterpret_cast<void*>(&OZL_USB_Init));
    void* warm[1];
    backtrace(warm, 1);  // loads the unwinder now, not inside a write
    // Lives to the end of the process: the library may print from its
    // threads until exit.
    auto* self = new CoreOutput(stderr, libraryOnly);
    cookie_io_functions_t functions{};
    functions.write = &CoreOutput::Write;
    auto capture = [&](FILE* real, bool error) -> FILE* {
        // Unbuffered: each write arrives whole, on the stack of its writer.
        FILE* file = fopencookie(new Stream{self, real, error, {}}, "w", functions);
        if (file)
            setvbuf(file, nullptr, _IONBF, 0);
        return file;
    };
    std::fflush(stdout);
    std::fflush(stderr);
    if (FILE* out = capture(stdout, false))
        stdout = out;
    if (captureErrors)
        if (FILE* err = capture(stderr, true))
            stderr = err;
    return *self;
}

CoreOutput& CoreOutput::Install(FILE*& out, FILE*& err, bool captureErrors)
{
    std::lock_guard<std::mutex> hold(g_installMutex);
    if (!g_instance) {
        out = stdout;
        err = stderr;
        g_instance = &Make(captureErrors, false);
    }
    return *g_instance;
}

CoreOutput& CoreOutput::InstallShared()
{
    std::lock_guard<std::mutex> hold(g_installMutex);
    if (!g_instance)
        g_instance = &Make(true, true);
    return *g_instance;
}

void CoreOutput::SetVerbose(bool on)
{
    std::lock_guard<std::mutex> lock(mutex_);
    verbose_ = on;
}

bool CoreOutput::verbose() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return verbose_;
}

void CoreOutput::SetLineListener(LineListener listener)
{
    std::lock_guard<std::mutex> lock(mutex_);
    listener_ = listener;
}

std::string CoreOutput::held() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return held_;
}

std::string CoreOutput::TakeHeld()
{
    std::string text;
    std::lock_guard<std::mutex> lock(mutex_);
    text.swap(held_);
    return text;
}

void CoreOutput::ShowHeld()
{
    std::string text;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        text.swap(held_);
    }
    if (text.empty())
        return;
    if (text.back() != '\n')
        text += '\n';
    std::fprintf(shownTo_, "vivazuzoz: the library reported:\n%s", text.c_str());
    std::fflush(shownTo_);
}

void CoreOutput::Take(Stream& stream, const char* data, size_t size, std::string& lines)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (verbose_) {
        std::fwrite(data, 1, size, shownTo_);
        std::fflush(shownTo_);
    } else {
        held_.append(data, size);
        if (held_.size() > kHeldLimit)
            held_.erase(0, held_.size() - kHeldLimit);
    }
    if (!listener_)
        return;
    stream.partial.append(data, size);
    const size_t end = stream.partial.rfind('\n');
    if (end == std::string::npos)
        return;
    lines = stream.partial.substr(0, end + 1);
    stream.partial.erase(0, end + 1);
}

ssize_t CoreOutput::Write(void* cookie, const char* data, size_t size)
{
    Stream& stream = *static_cast<Stream*>(cookie);
    CoreOutput& self = *stream.owner;
    if (self.libraryOnly_ && (t_passing || !FromLibrary())) {
        std::fwrite(data, 1, size, stream.real);
        std::fflush(stream.real);
        return static_cast<ssize_t>(size);
    }
    std::string lines;
    self.Take(stream, data, size, lines);
    LineListener listener;
    {
        std::lock_guard<std::mutex> lock(self.mutex_);
        listener = self.listener_;
    }
    // The listener hears the library alone (the tool's capture holds all).
    if (listener && !lines.empty() && !t_passing && (self.libraryOnly_ || FromLibrary())) {
        t_passing = true;
        for (size_t begin = 0, end; (end = lines.find('\n', begin)) != std::string::npos; begin = end + 1)
            listener(lines.substr(begin, end - begin), stream.error);
        t_passing = false;
    }
    return static_cast<ssize_t>(size);
}

}  // namespace vivaclient
