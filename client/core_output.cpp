#include "core_output.h"

namespace vivaclient {

CoreOutput& CoreOutput::Install(FILE*& out, FILE*& err, bool captureErrors)
{
    static CoreOutput* const instance = [&] {
        // Lives to the end of the process: the library may print from its
        // threads until exit.
        auto* self = new CoreOutput(err);
        cookie_io_functions_t functions{};
        functions.write = &CoreOutput::Write;
        if (FILE* capture = fopencookie(self, "w", functions)) {
            setvbuf(capture, nullptr, _IOLBF, 0);
            std::fflush(stdout);
            std::fflush(stderr);
            out = stdout;
            err = stderr;
            stdout = capture;
            if (captureErrors)
                stderr = capture;
        }
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
    auto* self = static_cast<CoreOutput*>(cookie);
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
