// FrameStream when the library closes the camera under it (OZL_USB_Deinit at
// process exit) in the middle of a frame: the image plane has reached the
// sink, the temperature plane never comes.
#include <vivaclient/camera.h>
#include <vivaclient/frame_stream.h>

#include "../support/scratch_dir.h"

#include <vcam/VirtualCamera.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <thread>
#include <vector>

using namespace vivaclient;

namespace {

// Holds the first frame's image callback on the read thread until the
// library is closing the camera, so the close lands between the frame's two
// planes: the library then skips the temperature callback of that frame.
class HeldSink : public FrameSink {
public:
    explicit HeldSink(unsigned long handle) : handle_(handle) {}

    uint16_t* BeginFrame(int width, int height, uint64_t, FrameClock::time_point) override
    {
        ++calls;
        ++begins;
        image_.resize(static_cast<size_t>(width) * static_cast<size_t>(height));
        if (!held_) {
            held_ = true;
            begun_.set_value();
            // A port read of nothing with no wait answers at once while the
            // camera is open and fails once its close has begun.
            const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            char buffer[1];
            int received = 0;
            while (OZL_USB_ReadPort(handle_, buffer, 0, &received, 0) == OZL_USB_SUCCESS &&
                   std::chrono::steady_clock::now() < limit)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return image_.data();
    }
    void CompleteFrame(const FrameRef&) override
    {
        ++calls;
        ++completed;
    }
    void AbandonFrame() override
    {
        ++calls;
        ++abandoned;
    }

    std::future<void> begun() { return begun_.get_future(); }

    std::atomic<int> calls{0};
    std::atomic<int> begins{0};
    std::atomic<int> completed{0};
    std::atomic<int> abandoned{0};

private:
    const unsigned long handle_;
    bool held_ = false;  // read thread only
    std::promise<void> begun_;
    std::vector<uint16_t> image_;  // read thread only
};

}  // namespace

TEST(FrameStreamClosedUnder, AFrameCutOffByDeinitIsAbandonedByForgetAndTheSinkIsNotCalledAfterIt)
{
    ScratchDir scratch;
    setenv("XDG_STATE_HOME", scratch.path().c_str(), 1);
    OZL_USB_Init();
    vcam::AddCamera();
    std::vector<CameraInfo> found;
    ASSERT_TRUE(SearchCameras(found).ok());
    ASSERT_EQ(found.size(), 1u);
    unsigned long handle = 0;
    ASSERT_EQ(OZL_USB_OpenDev(found[0].index, &handle), OZL_USB_SUCCESS);

    HeldSink sink(handle);
    std::future<void> begun = sink.begun();
    int afterForget = 0;
    {
        FrameStream stream(handle, sink);
        ASSERT_TRUE(stream.Start().ok());
        ASSERT_TRUE(stream.withTemps());
        ASSERT_EQ(begun.wait_for(std::chrono::seconds(20)), std::future_status::ready) << "no frame arrived";
        // Closes the camera and joins its read thread; the held frame's
        // temperatures are never delivered. On a slow machine another
        // frame's image may still arrive while the camera closes: it ends
        // the held frame (abandoned) and is cut off in its turn.
        OZL_USB_Deinit();
        EXPECT_EQ(sink.completed.load(), 0);
        const int begun = sink.begins.load();
        ASSERT_GE(begun, 1);
        EXPECT_EQ(sink.abandoned.load(), begun - 1) << "only the last frame begun is still open";

        stream.Forget();
        EXPECT_EQ(sink.abandoned.load(), begun) << "the sink still waits for the cut-off frame";
        EXPECT_FALSE(stream.withTemps());
        afterForget = sink.calls.load();
        stream.Forget();
        EXPECT_EQ(sink.calls.load(), afterForget);
    }
    // The owner may have destroyed what the sink uses by the time the
    // stream goes (a member declared later): no call may reach it.
    EXPECT_EQ(sink.calls.load(), afterForget) << "the stream's destructor called the sink after Forget";
    vcam::RemoveAll();
}
