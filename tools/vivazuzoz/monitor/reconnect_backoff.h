// reconnect_backoff.h - how long to wait before the next attempt to reach a
// broker: 1 s, doubling after each failed attempt up to 30 s, and from 1 s
// again once a connection was made.
#pragma once

#include <algorithm>
#include <chrono>

namespace vivatool::monitor {

class ReconnectBackoff {
public:
    static constexpr std::chrono::seconds kFirst{1};
    static constexpr std::chrono::seconds kLongest{30};

    // The wait before the next attempt, after one more failed one:
    // 1, 2, 4, 8, 16, 30, 30, ... seconds.
    std::chrono::seconds Next()
    {
        const std::chrono::seconds wait = next_;
        next_ = std::min(next_ * 2, kLongest);
        return wait;
    }

    // A connection was made: the next failure waits kFirst again.
    void Reset() { next_ = kFirst; }

private:
    std::chrono::seconds next_ = kFirst;
};

}  // namespace vivatool::monitor
