#include "service_notify.h"

#include "../support/eventually.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace vivatool;
using Clock = ServiceNotifier::Clock;

namespace {

// systemd's side of NOTIFY_SOCKET: a datagram socket of the test's own,
// named in the environment (with the watchdog interval) while it lives.
class NotifySocket {
public:
    explicit NotifySocket(const char* watchdogUsec)
    {
        path_ = "/tmp/vivazuzoz-notify-" + std::to_string(getpid());
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path_.c_str());
        unlink(path_.c_str());
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        setenv("NOTIFY_SOCKET", path_.c_str(), 1);
        if (watchdogUsec)
            setenv("WATCHDOG_USEC", watchdogUsec, 1);
    }
    ~NotifySocket()
    {
        unsetenv("NOTIFY_SOCKET");
        unsetenv("WATCHDOG_USEC");
        close(fd_);
        unlink(path_.c_str());
    }

    // Every message that arrived since the last call, oldest first.
    std::vector<std::string> Take()
    {
        std::vector<std::string> messages;
        char buffer[4096];
        ssize_t n;
        while ((n = recv(fd_, buffer, sizeof buffer, 0)) > 0)
            messages.emplace_back(buffer, static_cast<size_t>(n));
        received_.insert(received_.end(), messages.begin(), messages.end());
        return messages;
    }
    // Waits for a message that starts with `head`; false after the limit.
    bool WaitFor(const std::string& head)
    {
        return Eventually([&] {
            for (const std::string& m : Take())
                if (m.rfind(head, 0) == 0)
                    return true;
            return false;
        });
    }

    // Every message taken so far.
    const std::vector<std::string>& all() const { return received_; }

private:
    std::string path_;
    int fd_ = -1;
    std::vector<std::string> received_;
};

size_t Count(const std::vector<std::string>& messages, const std::string& message)
{
    size_t n = 0;
    for (const std::string& m : messages)
        n += m == message;
    return n;
}

}  // namespace

TEST(ServiceNotifier, OutsideAServiceSaysNothingAndRunsNoWatchdog)
{
    unsetenv("NOTIFY_SOCKET");
    setenv("WATCHDOG_USEC", "100000", 1);
    std::atomic<int> asked{0};
    {
        ServiceNotifier service(stderr);
        EXPECT_FALSE(service.active());
        EXPECT_EQ(service.watchdogInterval().count(), 0);
        service.Ready("serving", [&] {
            ++asked;
            return Clock::now();
        });
        service.Stopping();
    }
    unsetenv("WATCHDOG_USEC");
    EXPECT_EQ(asked, 0) << "no watchdog thread without systemd";
}

// The watchdog is fed while progress is fresh, starves (with a line on
// stderr and a status) when progress stops, and is fed again when it comes
// back; STOPPING=1 ends it.
TEST(ServiceNotifier, FeedsTheWatchdogOnlyWhileTheCommandProgresses)
{
    NotifySocket systemd("200000");  // 0.2 s: a message every 0.1 s
    char* said = nullptr;
    size_t saidSize = 0;
    FILE* err = open_memstream(&said, &saidSize);
    std::atomic<int64_t> lastProgress{Clock::now().time_since_epoch().count()};
    std::atomic<int> asked{0};
    const auto progress = [&] {
        ++asked;
        return Clock::time_point(Clock::duration(lastProgress.load()));
    };
    {
        ServiceNotifier service(err);
        ASSERT_TRUE(service.active());
        EXPECT_EQ(service.watchdogInterval().count(), 200000);
        service.Ready("serving 1 camera\non port 8080", progress);
        ASSERT_TRUE(systemd.WaitFor("READY=1\nSTATUS=serving 1 camera on port 8080"));
        for (int fed = 0; fed < 3;) {  // fed again and again while progress is fresh
            lastProgress = Clock::now().time_since_epoch().count();
            ASSERT_TRUE(systemd.WaitFor("WATCHDOG=1"));
            ++fed;
        }

        lastProgress = (Clock::now() - std::chrono::seconds(1)).time_since_epoch().count();
        ASSERT_TRUE(systemd.WaitFor("STATUS=no progress for 0.2 s"));
        // Three more looks at the progress: none of them fed the watchdog.
        const int before = asked;
        ASSERT_TRUE(Eventually([&] { return asked >= before + 3; }));
        EXPECT_EQ(Count(systemd.Take(), "WATCHDOG=1"), 0u);

        lastProgress = Clock::now().time_since_epoch().count();
        for (int fed = 0; fed < 2; ++fed) {
            lastProgress = Clock::now().time_since_epoch().count();
            ASSERT_TRUE(systemd.WaitFor("WATCHDOG=1"));
        }
        service.Status("camera lost; waiting for it");
        ASSERT_TRUE(systemd.WaitFor("STATUS=camera lost; waiting for it"));
    }  // the destructor says STOPPING=1 and ends the watchdog
    ASSERT_TRUE(systemd.WaitFor("STOPPING=1"));
    const int after = asked;
    std::fclose(err);
    const std::string lines(said, saidSize);
    std::free(said);
    EXPECT_NE(lines.find("the watchdog is no longer fed, so systemd restarts the service"), std::string::npos) << lines;
    EXPECT_NE(lines.find("working again"), std::string::npos) << lines;
    EXPECT_EQ(asked, after) << "the watchdog thread ended with the notifier";
}

TEST(ServiceNotifier, WithoutAWatchdogSaysReadyAndStoppingOnly)
{
    NotifySocket systemd(nullptr);
    std::atomic<int> asked{0};
    {
        ServiceNotifier service(stderr);
        EXPECT_EQ(service.watchdogInterval().count(), 0);
        service.Ready("ready", [&] {
            ++asked;
            return Clock::now();
        });
        ASSERT_TRUE(systemd.WaitFor("READY=1"));
        service.Stopping();
        service.Stopping();  // once
    }
    ASSERT_TRUE(systemd.WaitFor("STOPPING=1"));
    systemd.Take();
    EXPECT_EQ(Count(systemd.all(), "STOPPING=1"), 1u);
    EXPECT_EQ(asked, 0);
}
