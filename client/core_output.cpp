#include <vivaclient/core_output.h>

#include <VIVAZUZOZ.h>

#include <execinfo.h>
#include <link.h>

#include <cstdint>
#include <vector>

namespace vivaclient {

struct CoreOutput::Capture {
    CoreOutput* self;
    FILE* original;
    bool error;           // stands in for stderr
    std::string partial;  // a line begun, for the listener; guarded by self->mutex_
};

namespace {

// Set while this thread hands lines to the listener: what the listener
// writes (a debug log on stderr) is not the library's, and never goes back
// to the listener.
thread_local bool t_passing = false;

struct CodeRange {
    uintptr_t begin, end;
};

int FindLibraryCode(dl_phdr_info* info, size_t, void* data)
{
    auto& found = *static_cast<std::vector<CodeRange>*>(data);
    const auto target = reinterpret_cast<uintptr_t>(&OZL_USB_Init);
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
    if (!holds)
        return 0;
    // The library linked into the program itself (a test) is not told apart
    // from the program: nothing is attributed to it then.
    if (info->dlpi_name && *info->dlpi_name)
        found = code;
    return 1;
}

// The library's code in memory: the executable segments of the shared
// object that holds OZL_USB_Init.
const std::vector<CodeRange>& LibraryCode()
{
    static const std::vector<CodeRange> code = [] {
        std::vector<CodeRange> found;
        dl_iterate_phdr(FindLibraryCode, &found);
        void* warm[1];
        backtrace(warm, 1);  // loads the unwinder now, not inside a write
        return found;
    }();
    return code;
}

}  // namespace

bool CoreOutput::LibraryOnStack()
{
    const std::vector<CodeRange>& code = LibraryCode();
    void* frames[48];
    const int depth = backtrace(frames, 48);
    for (int i = 0; i < depth; ++i) {
        const auto at = reinterpret_cast<uintptr_t>(frames[i]);
        for (const CodeRange& range : code)
            if (at >= range.begin && at < range.end)
                return true;
    }
    return false;
}

FILE* CoreOutput::Open(FILE* original, bool error)
{
    cookie_io_functions_t functions{};
    functions.write = &CoreOutput::Write;
    // The cookie lives as long as the capture does, to the end of the
    // process; the instance keeps it, so that it is never taken for a leak.
    Capture* cookie = new Capture{this, original, error, {}};
    captures_[error ? 1 : 0] = cookie;
    FILE* capture = fopencookie(cookie, "w", functions);
    if (!capture)
        return original;
    // Unbuffered: each write arrives whole, on the stack and the thread of
    // its writer, which is what tells the library's writes from others.
    setvbuf(capture, nullptr, _IONBF, 0);
    // fileno() answers the original's descriptor, so that code writing to
    // it directly still reaches it; glibc's stream functions never use a
    // cookie stream's descriptor themselves.
    capture->_fileno = fileno(original);
    return capture;
}

CoreOutput& CoreOutput::Install(FILE*& out, FILE*& err, bool captureErrors, Attribution libraryWrites)
{
    static CoreOutput* const instance = [&] {
        LibraryCode();
        // Lives to the end of the process: the library may print from its
        // threads until exit.
        auto* self = new CoreOutput(err, libraryWrites);
        std::fflush(stdout);
        std::fflush(stderr);
        out = stdout;
        err = stderr;
        stdout = self->Open(out, false);
        if (captureErrors)
            stderr = self->Open(err, true);
        return self;
    }();
    return *instance;
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

void CoreOutput::Take(Capture& capture, const char* data, size_t size, std::string& lines)
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
    // The listener hears the library alone: without an attribution (the
    // tool) everything is held, but not everything is the library's.
    if (!listener_ || t_passing || (!libraryWrites_ && !LibraryOnStack()))
        return;
    capture.partial.append(data, size);
    const size_t end = capture.partial.rfind('\n');
    if (end == std::string::npos)
        return;
    lines = capture.partial.substr(0, end + 1);
    capture.partial.erase(0, end + 1);
}

ssize_t CoreOutput::Write(void* cookie, const char* data, size_t size)
{
    Capture& capture = *static_cast<Capture*>(cookie);
    CoreOutput* self = capture.self;
    if (self->libraryWrites_ && (t_passing || !self->libraryWrites_())) {
        std::fwrite(data, 1, size, capture.original);
        std::fflush(capture.original);
        return static_cast<ssize_t>(size);
    }
    std::string lines;
    self->Take(capture, data, size, lines);
    if (lines.empty())
        return static_cast<ssize_t>(size);
    LineListener listener;
    {
        std::lock_guard<std::mutex> lock(self->mutex_);
        listener = self->listener_;
    }
    t_passing = true;
    for (size_t begin = 0, end; (end = lines.find('\n', begin)) != std::string::npos; begin = end + 1)
        listener(lines.substr(begin, end - begin), capture.error);
    t_passing = false;
    return static_cast<ssize_t>(size);
}

}  // namespace vivaclient
