#include "interrupt.h"

#include <atomic>

namespace vivatool {

namespace {

// Set by the signal handler, read by the command's thread.
std::atomic<bool> g_interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free flag");

extern "C" void OnInterrupt(int)
{
    g_interrupted.store(true);
}

}  // namespace

InterruptGuard::InterruptGuard()
{
    g_interrupted.store(false);
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &oldInt_);
    sigaction(SIGTERM, &action, &oldTerm_);
}

InterruptGuard::~InterruptGuard()
{
    sigaction(SIGINT, &oldInt_, nullptr);
    sigaction(SIGTERM, &oldTerm_, nullptr);
}

bool Interrupted()
{
    return g_interrupted.load();
}

}  // namespace vivatool
