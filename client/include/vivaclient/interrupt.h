// interrupt.h - Ctrl-C and SIGTERM as a request to stop, so that a front end
// still stops the callbacks, closes the camera and deinitialises the library
// before it exits.
#pragma once

#include <signal.h>

namespace vivaclient {

// Catches SIGINT and SIGTERM for its lifetime; guards nest, and the innermost
// one's way of catching holds until it goes.
class InterruptGuard {
public:
    struct Options {
        // A second signal of the same kind acts as if none was caught, so a
        // program stuck in a library call can still be killed with Ctrl-C.
        // Off: every signal only asks to stop (a recording never dies in the
        // middle of a page).
        bool secondSignalKills = true;
        // SIGXFSZ ignored: a write past the file size limit fails with EFBIG
        // instead of ending the process, so the file can still be closed.
        bool ignoreFileSizeLimit = false;
        // Interrupted system calls are restarted (a server's accept loop).
        bool restartCalls = false;
    };

    InterruptGuard() : InterruptGuard(Options{}) {}
    explicit InterruptGuard(const Options& options);
    ~InterruptGuard();
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

private:
    struct sigaction oldInt_ {};
    struct sigaction oldTerm_ {};
    struct sigaction oldFileSize_ {};
    bool fileSizeChanged_ = false;
};

// A signal arrived since the outermost guard was installed.
bool Interrupted();

}  // namespace vivaclient
