// FrameRecorder - a device-control object for tests of the video channel: it
// records the size of every frame the read thread hands it, and on which
// thread, and lets a test wait for frames.
#pragma once

#include "BaseDevCtrl.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class FrameRecorder : public BaseDevCtrl {
public:
    struct Frame {
        unsigned long size;
        std::chrono::steady_clock::time_point when;
        std::thread::id thread;
    };

    // Runs on the read thread after a frame has been recorded.
    std::function<void()> onFrame;

    void OnDataRecv(unsigned char* frame, unsigned long size) override
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            // Touch the whole frame, so the sanitizers see a short mapping.
            volatile unsigned char sink = 0;
            for (unsigned long i = 0; i < size; i += 4096)
                sink = sink ^ frame[i];
            if (size > 0)
                sink = sink ^ frame[size - 1];
            frames_.push_back({size, std::chrono::steady_clock::now(), std::this_thread::get_id()});
        }
        arrived_.notify_all();
        if (onFrame)
            onFrame();
    }

    // True once at least `count` frames have arrived (waits at most `limit`).
    bool WaitFrames(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(10))
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return arrived_.wait_for(lock, limit, [&] { return frames_.size() >= count; });
    }

    std::vector<Frame> Frames()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return frames_;
    }
    size_t Count()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return frames_.size();
    }

private:
    std::mutex mutex_;  // guards frames_ (read thread and test thread)
    std::condition_variable arrived_;
    std::vector<Frame> frames_;
};
