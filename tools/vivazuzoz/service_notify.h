// service_notify.h - what a long-running command (serve, rtsp, monitor)
// tells systemd when it runs as a Type=notify service: that it is ready, a
// status line, that it stops, and a watchdog that is fed only while the
// command makes progress, so that systemd restarts a command that hangs.
//
// Over libsystemd's sd_notify(3). Outside a service (no NOTIFY_SOCKET in the
// environment) every call does nothing and no thread runs.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace vivatool {

class ServiceNotifier {
public:
    using Clock = std::chrono::steady_clock;
    // The newest sign that the command does its work: a frame, a search for
    // a camera that is away, or a turn of the loop that serves clients.
    // Called on the watchdog thread; it must not block.
    using Progress = std::function<Clock::time_point()>;

    // `err` takes a line when the watchdog goes hungry (and when it is fed
    // again), and when systemd cannot be told.
    explicit ServiceNotifier(FILE* err);
    // Says Stopping() if Ready() was said, and ends the watchdog thread.
    ~ServiceNotifier();
    ServiceNotifier(const ServiceNotifier&) = delete;
    ServiceNotifier& operator=(const ServiceNotifier&) = delete;

    // READY=1 with STATUS=`status`. When the unit asks for a watchdog
    // (WatchdogSec=, seen as WATCHDOG_USEC), a thread then sends WATCHDOG=1
    // every half interval while progress() (or Ready() itself, whichever is
    // later) lies within one interval of now. Call once, from the command's
    // thread.
    void Ready(const std::string& status, Progress progress);
    // STATUS=`status` (one line), shown by `systemctl status`.
    void Status(const std::string& status);
    // STOPPING=1; the watchdog is no longer fed. Once; later calls do nothing.
    void Stopping();

    // Under systemd: NOTIFY_SOCKET was set when the notifier was made.
    bool active() const { return active_; }
    // The watchdog interval systemd asked for; zero without a watchdog.
    std::chrono::microseconds watchdogInterval() const { return interval_; }

private:
    void Feed();
    void Send(const std::string& message);

    FILE* const err_;
    const bool active_;
    std::chrono::microseconds interval_{0};
    Progress progress_;                    // set by Ready() before the watchdog thread starts
    Clock::time_point readyAt_;            // likewise
    std::atomic<bool> sendFailed_{false};  // told once on err_

    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;  // guarded by mutex_
    bool ready_ = false;     // command thread only
    std::thread watchdog_;
};

// A progress signal for a loop that turns while its command works: Beat() on
// every turn; last() is a ServiceNotifier::Progress. Any thread.
class Heartbeat {
public:
    Heartbeat() { Beat(); }
    void Beat() { ticks_.store(ServiceNotifier::Clock::now().time_since_epoch().count(), std::memory_order_relaxed); }
    ServiceNotifier::Clock::time_point last() const
    {
        return ServiceNotifier::Clock::time_point(
            ServiceNotifier::Clock::duration(ticks_.load(std::memory_order_relaxed)));
    }

private:
    std::atomic<ServiceNotifier::Clock::rep> ticks_{0};
};

}  // namespace vivatool
