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
    EXPECT_EQ(OZL_USB_SUCCESS, OZL_USB_SearchDev(
                                   [](OZL_USB_DEV_INFO* info, void* user) {
                                       static_cast<std::vector<OZL_USB_DEV_INFO>*>(user)->push_back(*info);
                                   },
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
    explicit StartLine(int threads) : m_left(threads) {}
    void Arrive()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (--m_left == 0)
            m_cv.notify_all();
        else
            m_cv.wait(lock, [&] { return m_left <= 0; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    int m_left;
};
