#include "service_notify.h"

#include <systemd/sd-daemon.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace vivatool {

namespace {

bool UnderSystemd()
{
    const char* socket = std::getenv("NOTIFY_SOCKET");
    return socket && *socket;
}

// A status is one line of the notify message: no line breaks in it.
std::string OneLine(std::string text)
{
    std::replace(text.begin(), text.end(), '\n', ' ');
    return text;
}

}  // namespace

ServiceNotifier::ServiceNotifier(FILE* err) : err_(err), active_(UnderSystemd())
{
    uint64_t usec = 0;
    if (active_ && sd_watchdog_enabled(0, &usec) > 0)
        interval_ = std::chrono::microseconds(usec);
}

ServiceNotifier::~ServiceNotifier()
{
    if (ready_)
        Stopping();
    if (watchdog_.joinable())
        watchdog_.join();
}

void ServiceNotifier::Ready(const std::string& status, Progress progress)
{
    if (!active_ || ready_)
        return;
    ready_ = true;
    Send("READY=1\nSTATUS=" + OneLine(status));
    if (interval_.count() <= 0 || !progress)
        return;
    progress_ = std::move(progress);
    readyAt_ = Clock::now();
    watchdog_ = std::thread([this] { Feed(); });
}

void ServiceNotifier::Status(const std::string& status)
{
    if (active_)
        Send("STATUS=" + OneLine(status));
}

void ServiceNotifier::Stopping()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_)
            return;
        stopping_ = true;
    }
    wake_.notify_all();
    if (active_)
        Send("STOPPING=1");
}

void ServiceNotifier::Send(const std::string& message)
{
    const int result = sd_notify(0, message.c_str());
    if (result < 0 && !sendFailed_.exchange(true))
        std::fprintf(err_, "vivazuzoz: cannot tell systemd how the service is (NOTIFY_SOCKET): %s; going on\n",
                     std::strerror(-result));
}

// Watchdog thread: WATCHDOG=1 every half interval while there is progress.
void ServiceNotifier::Feed()
{
    const auto every = interval_ / 2;
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3g", std::chrono::duration<double>(interval_).count());
    bool hungry = false;
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        lock.unlock();
        const Clock::time_point now = Clock::now();
        const bool progressing = now - std::max(progress_(), readyAt_) < interval_;
        if (progressing) {
            Send("WATCHDOG=1");
            if (hungry)
                std::fprintf(err_, "vivazuzoz: working again; the watchdog is fed again\n");
        } else if (!hungry) {
            const std::string why = "no progress for " + std::string(seconds) +
                                    " s (no frame, no search for a camera, no turn of the main loop)";
            std::fprintf(err_, "vivazuzoz: %s; the watchdog is no longer fed, so systemd restarts the service\n",
                         why.c_str());
            Send("STATUS=" + why);
        }
        hungry = !progressing;
        lock.lock();
        wake_.wait_for(lock, every, [this] { return stopping_; });
    }
}

}  // namespace vivatool
