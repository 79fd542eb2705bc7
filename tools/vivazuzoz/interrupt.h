// interrupt.h - Ctrl-C and SIGTERM as a request to stop, so that every
// command still stops the callbacks, closes the camera and deinitialises the
// library before it exits with kExitInterrupted.
#pragma once

#include <signal.h>

namespace vivatool {

// Catches SIGINT and SIGTERM for its lifetime. The first signal only sets
// the flag; a second one of the same kind acts as if the tool caught none
// (a command stuck in a library call can still be killed with Ctrl-C).
class InterruptGuard {
public:
    InterruptGuard();
    ~InterruptGuard();
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

private:
    struct sigaction oldInt_ {};
    struct sigaction oldTerm_ {};
};

// A signal arrived since the guard was installed.
bool Interrupted();

}  // namespace vivatool
