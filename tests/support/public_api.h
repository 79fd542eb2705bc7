// Helpers for tests that drive the library through its exported functions:
// the search's records, a frame counter, and a start line for racing threads.
#pragma once

#include "VIVAZUZOZ.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <vector>

// The records of one search, in the order the library reported them.
inline std::vector<OZL_USB_DEV_INFO> Search()
{
    std::vector<OZL_USB_DEV_INFO> found;
    EXPECT_EQ(OZL_USB_SUCCESS,
              OZL_USB_SearchDev([](OZL_USB_DEV_INFO* info,
                                   void* user) { static_cast<std::vector<OZL_USB_DEV_INFO>*>(user)->push_back(*info); },
                                &found));
    return found;
}

// A frame callback that counts frames in the std::atomic<int> it is given.
inline void CountFrame(unsigned long, OZL_USB_VIDEO_INFO_CB*, void* user)
{
    ++*static_cast<std::atomic<int>*>(user);
}

// Releases the threads that arrive at it together.
class StartLine {
public:
    explicit StartLine(int threads) : left_(threads) {}
    void Arrive()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (--left_ == 0)
            cv_.notify_all();
        else
            cv_.wait(lock, [&] { return left_ <= 0; });
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    int left_;
};
