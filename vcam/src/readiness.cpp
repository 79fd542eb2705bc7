// Readiness - poll, select and epoll on descriptors of virtual nodes.
//
// The eventfd under each such descriptor is readable whenever its node has
// something to report (VideoNode::SyncReady). What it reports is worked out
// here from the node's state, as the V4L2 core and videobuf2 work it out
// (VideoNode::PollEvents): POLLIN | POLLRDNORM for a filled buffer, POLLERR
// when the descriptor is not streaming or has nothing queued, POLLERR |
// POLLHUP once the camera is gone; never POLLOUT, which the eventfd itself
// would report.
#include "emulator.h"
#include "vcam_bridge.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/select.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <map>
#include <vector>

namespace vcam {
namespace detail {

namespace {

// What descriptor `fd` reports for the `asked` events; POLLNVAL when it is
// no longer open on a node. With Lock() held.
short EventsLocked(int fd, short asked)
{
    std::shared_ptr<Handle> h = FindHandle(fd);
    if (!h)
        return POLLNVAL;
    return h->node->PollEvents(h.get(), asked);
}

timespec Now()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t;
}

// Nanoseconds from `a` to `b`.
long long Diff(const timespec& a, const timespec& b)
{
    return (static_cast<long long>(b.tv_sec) - a.tv_sec) * 1000000000LL + (b.tv_nsec - a.tv_nsec);
}

timespec FromNs(long long ns)
{
    if (ns < 0)
        ns = 0;
    return timespec{static_cast<time_t>(ns / 1000000000LL), static_cast<long>(ns % 1000000000LL)};
}

// A wait's end: none (wait for ever), or a point on the monotonic clock.
struct Deadline {
    bool forever = true;
    timespec at{};
    explicit Deadline(const timespec* timeout)
    {
        if (!timeout)
            return;
        forever = false;
        const timespec now = Now();
        at = FromNs(static_cast<long long>(now.tv_sec + timeout->tv_sec) * 1000000000LL + now.tv_nsec +
                    timeout->tv_nsec);
    }
    // The time left, or null for ever.
    const timespec* Left(timespec* buf) const
    {
        if (forever)
            return nullptr;
        *buf = FromNs(Diff(Now(), at));
        return buf;
    }
    bool Passed() const { return !forever && Diff(Now(), at) <= 0; }
};

// ------------------------------------------------------------ epoll

constexpr int kMaxFd = 65536;
constexpr uint64_t kTokenTag = 0x7ca05e1f00000000ULL;

struct EpollEntry {
    epoll_data_t data;  // the caller's
    uint32_t events;    // the caller's
    uint64_t token;     // what the real epoll instance carries instead
};

std::mutex g_epollLock;                                        // guards g_epoll; never held together with Lock()
std::map<std::pair<int, int>, EpollEntry>* g_epoll = nullptr;  // (epfd, fd) -> entry; lives to exit
std::atomic<uint8_t> g_epollFlags[kMaxFd];                     // the epoll instance watches a virtual node

}  // namespace
}  // namespace detail
}  // namespace vcam

using namespace vcam::detail;

extern "C" {

int vcam_poll(struct pollfd* fds, unsigned long n, const struct timespec* timeout, const void* sigmask)
{
    const Deadline deadline(timeout);
    // No allocation for the usual few descriptors: a capture loop's read
    // thread waits here for every frame.
    constexpr unsigned long kOnStack = 64;
    short askedOnStack[kOnStack];
    char virtOnStack[kOnStack];
    std::vector<short> askedOnHeap;
    std::vector<char> virtOnHeap;
    if (n > kOnStack) {
        askedOnHeap.resize(n);
        virtOnHeap.resize(n);
    }
    short* asked = n > kOnStack ? askedOnHeap.data() : askedOnStack;
    char* virt = n > kOnStack ? virtOnHeap.data() : virtOnStack;
    for (unsigned long i = 0; i < n; ++i) {
        asked[i] = fds[i].events;
        virt[i] = static_cast<char>(vcam_fd_is_virtual(fds[i].fd));
    }
    for (;;) {
        // Ready already? Then the real call only collects the others.
        bool ready = false;
        {
            std::lock_guard<std::mutex> lk(Lock());
            for (unsigned long i = 0; i < n; ++i)
                if (virt[i] && EventsLocked(fds[i].fd, asked[i]) != 0)
                    ready = true;
        }
        for (unsigned long i = 0; i < n; ++i)
            if (virt[i])
                fds[i].events = (asked[i] & (POLLIN | POLLRDNORM)) ? POLLIN : 0;
        timespec left{0, 0};
        const timespec* wait = ready ? &left : deadline.Left(&left);
        const int r = vcam_real_ppoll(fds, n, wait, sigmask);
        const int err = errno;
        int count = 0;
        {
            std::lock_guard<std::mutex> lk(Lock());
            for (unsigned long i = 0; i < n; ++i) {
                fds[i].events = asked[i];
                if (r >= 0 && virt[i] && !(fds[i].revents & POLLNVAL))
                    fds[i].revents = EventsLocked(fds[i].fd, asked[i]);
                if (fds[i].revents)
                    ++count;
            }
        }
        if (r < 0) {
            errno = err;
            return r;
        }
        // A wake-up whose cause was gone again by now waits on.
        if (count > 0 || r == 0 || deadline.Passed())
            return count;
    }
}

int vcam_select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, struct timespec* timeout,
                const void* sigmask)
{
    pollfd fds[FD_SETSIZE];  // on the stack: no allocation per wait
    unsigned long n = 0;
    for (int fd = 0; fd < nfds && fd < FD_SETSIZE; ++fd) {
        short events = 0;
        if (readfds && FD_ISSET(fd, readfds))
            events |= POLLIN | POLLRDNORM | POLLRDBAND;
        if (writefds && FD_ISSET(fd, writefds))
            events |= POLLOUT | POLLWRNORM | POLLWRBAND;
        if (exceptfds && FD_ISSET(fd, exceptfds))
            events |= POLLPRI;
        if (events)
            fds[n++] = pollfd{fd, events, 0};
    }
    const timespec start = Now();
    const int r = vcam_poll(fds, n, timeout, sigmask);
    if (timeout) {
        // Linux's select leaves the time not slept in the timeout.
        const long long total = static_cast<long long>(timeout->tv_sec) * 1000000000LL + timeout->tv_nsec;
        *timeout = FromNs(total - Diff(start, Now()));
    }
    if (r < 0)
        return r;
    for (unsigned long i = 0; i < n; ++i)
        if (fds[i].revents & POLLNVAL) {
            errno = EBADF;
            return -1;
        }
    int count = 0;
    if (readfds)
        FD_ZERO(readfds);
    if (writefds)
        FD_ZERO(writefds);
    if (exceptfds)
        FD_ZERO(exceptfds);
    // The kernel's select sets: readable on input, hang-up or error,
    // writable on output or error, exceptional on priority data.
    for (unsigned long i = 0; i < n; ++i) {
        const pollfd& p = fds[i];
        if ((p.events & POLLIN) && (p.revents & (POLLIN | POLLRDNORM | POLLRDBAND | POLLHUP | POLLERR))) {
            FD_SET(p.fd, readfds);
            ++count;
        }
        if ((p.events & POLLOUT) && (p.revents & (POLLOUT | POLLWRNORM | POLLWRBAND | POLLERR))) {
            FD_SET(p.fd, writefds);
            ++count;
        }
        if ((p.events & POLLPRI) && (p.revents & POLLPRI)) {
            FD_SET(p.fd, exceptfds);
            ++count;
        }
    }
    return count;
}

int vcam_epoll_ctl(int epfd, int op, int fd, struct epoll_event* event)
{
    if (epfd < 0 || epfd >= kMaxFd)
        return vcam_real_epoll_ctl(epfd, op, fd, event);
    std::lock_guard<std::mutex> lk(g_epollLock);
    if (!g_epoll)
        g_epoll = new std::map<std::pair<int, int>, EpollEntry>;
    if (op == EPOLL_CTL_DEL) {
        const int r = vcam_real_epoll_ctl(epfd, op, fd, event);
        if (r == 0)
            g_epoll->erase({epfd, fd});
        return r;
    }
    if (!event)
        return vcam_real_epoll_ctl(epfd, op, fd, event);
    // The eventfd is watched for input only, and only when input is asked.
    epoll_event mine{};
    mine.events = ((event->events & (EPOLLIN | EPOLLRDNORM)) ? static_cast<uint32_t>(EPOLLIN) : 0u) |
                  (event->events & (EPOLLET | EPOLLONESHOT | EPOLLWAKEUP | EPOLLEXCLUSIVE));
    mine.data.u64 = kTokenTag | static_cast<uint32_t>(fd);
    const int r = vcam_real_epoll_ctl(epfd, op, fd, &mine);
    if (r == 0) {
        (*g_epoll)[{epfd, fd}] = EpollEntry{event->data, event->events, mine.data.u64};
        g_epollFlags[epfd].store(1, std::memory_order_release);
    }
    return r;
}

int vcam_epoll_watches_virtual(int epfd)
{
    return epfd >= 0 && epfd < kMaxFd && g_epollFlags[epfd].load(std::memory_order_acquire) != 0;
}

int vcam_epoll_wait(int epfd, struct epoll_event* events, int maxevents, const struct timespec* timeout,
                    const void* sigmask)
{
    const Deadline deadline(timeout);
    for (;;) {
        timespec left;
        const timespec* wait = deadline.Left(&left);
        // Milliseconds, rounded up: a wait never ends early.
        const int ms = wait
                           ? static_cast<int>(std::min<long long>((static_cast<long long>(wait->tv_sec) * 1000000000LL +
                                                                   wait->tv_nsec + 999999) /
                                                                      1000000,
                                                                  0x7fffffff))
                           : -1;
        const int r = vcam_real_epoll_pwait(epfd, events, maxevents, ms, sigmask);
        if (r <= 0)
            return r;
        // The caller's registrations of the virtual descriptors reported,
        // looked up first: the two locks are never held together.
        EpollEntry mine[64];
        int mineFd[64];
        int out = 0;
        for (int start = 0; start < r; start += 64) {
            const int end = std::min(r, start + 64);
            {
                std::lock_guard<std::mutex> elk(g_epollLock);
                for (int i = start; i < end; ++i) {
                    mineFd[i - start] = -1;
                    const uint64_t token = events[i].data.u64;
                    if ((token & 0xffffffff00000000ULL) != kTokenTag || !g_epoll)
                        continue;
                    const int fd = static_cast<int>(token & 0xffffffffu);
                    auto it = g_epoll->find({epfd, fd});
                    if (it == g_epoll->end() || it->second.token != token)
                        continue;
                    mine[i - start] = it->second;
                    mineFd[i - start] = fd;
                }
            }
            std::lock_guard<std::mutex> lk(Lock());
            for (int i = start; i < end; ++i) {
                epoll_event e = events[i];
                if (mineFd[i - start] >= 0) {
                    const EpollEntry& entry = mine[i - start];
                    const short got = EventsLocked(mineFd[i - start], static_cast<short>(entry.events));
                    if (!got || (got & POLLNVAL))
                        continue;
                    e.events = static_cast<uint32_t>(got);
                    e.data = entry.data;
                }
                events[out++] = e;
            }
        }
        if (out > 0 || deadline.Passed())
            return out;
    }
}

void vcam_epoll_forget(int fd)
{
    if (fd < 0 || fd >= kMaxFd)
        return;
    std::lock_guard<std::mutex> lk(g_epollLock);
    if (!g_epoll)
        return;
    for (auto it = g_epoll->begin(); it != g_epoll->end();) {
        if (it->first.first == fd || it->first.second == fd)
            it = g_epoll->erase(it);
        else
            ++it;
    }
    g_epollFlags[fd].store(0, std::memory_order_release);
}

}  // extern "C"
