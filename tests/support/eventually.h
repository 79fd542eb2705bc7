// Eventually - waits for a condition that another thread brings about.
#pragma once

#include <chrono>
#include <thread>

// Polls `done` every 10 ms for at most `limit`; true once it holds.
template <typename Pred>
bool Eventually(Pred done, std::chrono::milliseconds limit = std::chrono::milliseconds(5000))
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}
