#include "core_output.h"

namespace vivaclient {

struct CoreOutput::Capture {
    CoreOutput* self;
    FILE* original;
};

FILE* CoreOutput::Open(FILE* original)
{
    cookie_io_functions_t functions{};
    functions.write = &CoreOutput::Write;
    FILE* capture = fopencookie(new Capture{this, original}, "w", functions);
    if (!capture)
        return original;
    setvbuf(capture, nullptr, _IOLBF, 0);
    // fileno() answers the original's descriptor, so that code writing to
    // it directly still reaches it; glibc's stream functions never use a
    // cookie stream's descriptor themselves.
    capture->_fileno = fileno(original);
    return capture;
}

CoreOutput& CoreOutput::Install(FILE*& out, FILE*& err, bool captureErrors, Attribution libraryWrites)
{
    static CoreOutput* const instance = [&] {
        // Lives to the end of the process: the library may print from its
        // threads until exit.
        auto* self = new CoreOutput(err, libraryWrites);
        std::fflush(stdout);
        std::fflush(stderr);
        out = stdout;
        err = stderr;
        stdout = self->Open(out);
        if (captureErrors)
            stderr = self->Open(err);
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

ssize_t CoreOutput::Write(void* cookie, const char* data, size_t size)
{
    const Capture& capture = *static_cast<Capture*>(cookie);
    CoreOutput* self = capture.self;
    if (self->libraryWrites_ && !self->libraryWrites_()) {
        std::fwrite(data, 1, size, capture.original);
        std::fflush(capture.original);
        return static_cast<ssize_t>(size);
    }
    std::lock_guard<std::mutex> lock(self->mutex_);
    if (self->verbose_) {
        std::fwrite(data, 1, size, self->shownTo_);
        std::fflush(self->shownTo_);
        return static_cast<ssize_t>(size);
    }
    self->held_.append(data, size);
    if (self->held_.size() > kHeldLimit)
        self->held_.erase(0, self->held_.size() - kHeldLimit);
    return static_cast<ssize_t>(size);
}

}  // namespace vivaclient
