#include <vivaclient/interrupt.h>

#include <atomic>

namespace vivaclient {

namespace {

// Set by the signal handler, read by any thread.
std::atomic<bool> g_interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free flag");
// Guards alive; changed only by the thread that sets them up (the main one).
int g_depth = 0;

extern "C" void OnInterrupt(int)
{
    g_interrupted.store(true);
}

}  // namespace

InterruptGuard::InterruptGuard(const Options& options)
{
    if (g_depth++ == 0)
        g_interrupted.store(false);
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    action.sa_flags = (options.secondSignalKills ? SA_RESETHAND : 0) | (options.restartCalls ? SA_RESTART : 0);
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &oldInt_);
    sigaction(SIGTERM, &action, &oldTerm_);
    if (options.ignoreFileSizeLimit) {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        sigaction(SIGXFSZ, &ignore, &oldFileSize_);
        fileSizeChanged_ = true;
    }
}

InterruptGuard::~InterruptGuard()
{
    sigaction(SIGINT, &oldInt_, nullptr);
    sigaction(SIGTERM, &oldTerm_, nullptr);
    if (fileSizeChanged_)
        sigaction(SIGXFSZ, &oldFileSize_, nullptr);
    --g_depth;
}

bool Interrupted()
{
    return g_interrupted.load();
}

}  // namespace vivaclient
