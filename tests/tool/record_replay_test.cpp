// Recording a virtual camera with the tool in this process, and replaying the
// recording through a virtual camera to the library's public functions.
#include "run_tool.h"
#include <vivaclient/camera.h>
#include <vivaclient/recording.h>
#include <vivaclient/settings.h>

#include "../support/eventually.h"
#include "../support/scratch_dir.h"

#include <VIVAZUZOZ.h>
#include <vcam/VirtualCamera.h>

#include <gtest/gtest.h>

#include <linux/videodev2.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <mutex>
#include <set>

using namespace vivaclient;

using namespace vivatool;

namespace {

std::vector<RecordedFrame> ReadAll(const std::string& path)
{
    RecordingReader reader;
    EXPECT_EQ(reader.Open(path), "");
    std::vector<RecordedFrame> frames(reader.frames());
    for (size_t i = 0; i < frames.size(); ++i)
        EXPECT_EQ(reader.Read(i, frames[i]), "") << "frame " << i;
    return frames;
}

// Both planes of every frame the library delivers, as an application gets them.
struct Delivered {
    std::mutex mutex;
    std::vector<uint16_t> image;  // read thread only: the current frame's image plane
    std::vector<std::pair<std::vector<uint16_t>, std::vector<int16_t>>> frames;  // guarded by `mutex`

    static void OnVideo(unsigned long, OZL_USB_VIDEO_INFO_CB* frame, void* user)
    {
        auto* self = static_cast<Delivered*>(user);
        self->image.assign(frame->data, frame->data + frame->width * frame->height);
    }
    static void OnTemp(unsigned long, OZL_USB_TEMP_INFO_CB* frame, void* user)
    {
        auto* self = static_cast<Delivered*>(user);
        std::vector<int16_t> temp(frame->data, frame->data + frame->width * frame->height);
        std::lock_guard<std::mutex> lock(self->mutex);
        self->frames.emplace_back(self->image, std::move(temp));
    }
};

}  // namespace

TEST(RecordAndReplay, ReplayedTemperaturesEqualTheRecordedOnesPixelForPixel)
{
    ScratchDir dir;
    // Settings of the live camera that the recording should carry over.
    vcam::Camera& live = vcam::AddCamera();
    vcam::Model settings = live.model();
    settings.palette = 5;
    settings.env[2] = 9000;  // emissivity 0.9
    live.SetModel(settings);

    const ToolRun record = RunCaptured({"record", "-o", "run.tiff", "--frames", "50"});
    ASSERT_EQ(record.status, 0) << record.err;
    EXPECT_NE(record.out.find("Wrote run.tiff: 50 frames (256x192, image and temperature)"), std::string::npos)
        << record.out;
    const std::vector<RecordedFrame> recorded = ReadAll("run.tiff");
    ASSERT_EQ(recorded.size(), 50u);
    // What was recorded is the camera's scene, not just something
    // self-consistent: its static part is known to the tenth.
    int compared = 0;
    for (int y = 0; y < 192; ++y)
        for (int x = 0; x < 256; ++x)
            if (live.IsStatic(x, y)) {
                ASSERT_EQ(recorded[7].temp[y * 256 + x], live.SceneTenths(x, y)) << x << "," << y;
                ++compared;
            }
    EXPECT_GT(compared, 256 * 192 / 2);
    for (size_t i = 1; i < recorded.size(); ++i) {
        EXPECT_GT(recorded[i].sequence, recorded[i - 1].sequence);
        EXPECT_GT(recorded[i].time, recorded[i - 1].time);
    }
    vcam::RemoveAll();

    vcam::CameraSetup setup;
    setup.replayFile = dir.path() + "/run.tiff";
    setup.replayLoop = true;  // the library takes its first frame before any callback: frame 0 comes round again
    vcam::Camera& replay = vcam::AddCamera(setup);
    EXPECT_EQ(replay.model().palette, 5);
    EXPECT_EQ(replay.model().env[2], 9000);
    EXPECT_NEAR(replay.setup().fps, 25.0, 5.0);

    std::map<std::vector<int16_t>, size_t> byTemp;
    for (size_t i = 0; i < recorded.size(); ++i)
        byTemp.emplace(recorded[i].temp, i);
    ASSERT_EQ(byTemp.size(), recorded.size()) << "every recorded frame differs from the others (the ball moves)";

    ASSERT_EQ(OZL_USB_Init(), OZL_USB_SUCCESS);
    ASSERT_EQ(OZL_USB_SearchDev([](OZL_USB_DEV_INFO*, void*) {}, nullptr), OZL_USB_SUCCESS);
    unsigned long handle = 0;
    ASSERT_EQ(OZL_USB_OpenDev(0, &handle), OZL_USB_SUCCESS);
    int width = 0, height = 0;
    EXPECT_EQ(OZL_USB_GetFPASize(handle, &width, &height), OZL_USB_SUCCESS);
    EXPECT_EQ(width, 256);
    EXPECT_EQ(height, 192);
    Delivered delivered;
    ASSERT_EQ(OZL_USB_StartPullTemp(handle, Delivered::OnTemp, &delivered), OZL_USB_SUCCESS);
    ASSERT_EQ(OZL_USB_StartPreview(handle, Delivered::OnVideo, &delivered), OZL_USB_SUCCESS);

    std::vector<bool> seen(recorded.size(), false);
    size_t checked = 0;
    bool mismatch = false;
    const bool allSeen = Eventually(
        [&] {
            std::vector<std::pair<std::vector<uint16_t>, std::vector<int16_t>>> batch;
            {
                std::lock_guard<std::mutex> lock(delivered.mutex);
                batch.swap(delivered.frames);
            }
            for (const auto& [image, temp] : batch) {
                if (image.empty())
                    continue;  // temperatures registered before the preview: no image yet
                const auto match = byTemp.find(temp);
                if (match == byTemp.end()) {
                    ADD_FAILURE() << "a delivered temperature plane equals no recorded one";
                    mismatch = true;
                    continue;
                }
                EXPECT_EQ(image, recorded[match->second].image) << "image plane of frame " << match->second;
                seen[match->second] = true;
                ++checked;
            }
            return mismatch || std::all_of(seen.begin(), seen.end(), [](bool s) { return s; });
        },
        std::chrono::seconds(60));
    OZL_USB_StopPreview(handle);
    OZL_USB_StopPullTemp(handle);
    OZL_USB_CloseDev(handle);
    OZL_USB_Deinit();
    vcam::RemoveAll();
    EXPECT_TRUE(allSeen) << std::count(seen.begin(), seen.end(), true) << " of 50 recorded frames came back";
    EXPECT_FALSE(mismatch);
    EXPECT_GE(checked, recorded.size());
}

TEST(RecordAndReplay, EveryKeepsOneFramePerIntervalAndSaysSo)
{
    ScratchDir dir;
    vcam::AddCamera();
    const ToolRun record = RunCaptured({"record", "-o", "lapse.tiff", "--frames", "4", "--every", "0.2"});
    ASSERT_EQ(record.status, 0) << record.err;
    RecordingReader reader;
    ASSERT_EQ(reader.Open("lapse.tiff"), "");
    ASSERT_EQ(reader.frames(), 4u);
    EXPECT_EQ(JsonNumber(reader.description(), "every"), 0.2);
    for (size_t k = 1; k < reader.frames(); ++k) {
        // Frame k opens its interval: never before k * 0.2 s (at 25 frames
        // a second, without --every it would be at about k * 0.04 s).
        EXPECT_GE(reader.time(k), 0.2 * static_cast<double>(k) - 1e-6) << "frame " << k;
        EXPECT_GT(reader.sequence(k), reader.sequence(k - 1)) << "frame " << k;
    }
    vcam::RemoveAll();
}

// A time-lapse recording (one frame kept every 100 camera frames) replays at
// the recorded camera's frame rate, each recorded frame held until the next
// is due; --speed runs the time line faster at the same rate.
TEST(RecordAndReplay, ATimeLapseReplaysAtTheCameraRateHoldingEachFrame)
{
    ScratchDir dir;
    const int w = 256, h = 192;
    {
        RecordingWriter writer;
        ASSERT_EQ(writer.Create("lapse.tiff", RecordingLayout{w, h, true}, false), "");
        const std::string description = "{\"format\":\"vivazuzoz recording\",\"version\":1,\"camera\":\"Lapse\","
                                        "\"width\":256,\"height\":192,\"layout\":\"image and temperature\"}";
        for (int i = 0; i < 3; ++i) {
            // Frame i: every temperature (i + 1) * 10 degrees, its camera frame
            // number 100 * i, 4 s apart: a 25 frames a second camera.
            const std::vector<uint16_t> image(w * h, static_cast<uint16_t>(1000 * (i + 1)));
            const std::vector<int16_t> temp(w * h, static_cast<int16_t>(100 * (i + 1)));
            ASSERT_EQ(writer.Append(image.data(), temp.data(), 7 + 100 * i, 4.0 * i, description), "");
        }
        ASSERT_EQ(writer.Close(), "");
    }
    vcam::CameraSetup setup;
    setup.replayFile = dir.path() + "/lapse.tiff";
    setup.replaySpeed = 10;  // 4 s of recording in 0.4 s: 10 camera frames per recorded frame
    vcam::Camera& cam = vcam::AddCamera(setup);
    EXPECT_DOUBLE_EQ(cam.setup().fps, 25.0) << "the camera's rate, not the 0.25 frames a second kept";

    const int fd = open(cam.videoPath().c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    v4l2_requestbuffers req{};
    req.count = 4;
    req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    req.memory = V4L2_MEMORY_MMAP;
    ASSERT_EQ(ioctl(fd, VIDIOC_REQBUFS, &req), 0);
    std::vector<const uint8_t*> maps;
    for (unsigned i = 0; i < req.count; ++i) {
        v4l2_buffer b{};
        b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        b.memory = V4L2_MEMORY_MMAP;
        b.index = i;
        ASSERT_EQ(ioctl(fd, VIDIOC_QUERYBUF, &b), 0);
        void* p = mmap(nullptr, b.length, PROT_READ, MAP_SHARED, fd, b.m.offset);
        ASSERT_NE(p, MAP_FAILED);
        maps.push_back(static_cast<const uint8_t*>(p));
        ASSERT_EQ(ioctl(fd, VIDIOC_QBUF, &b), 0);
    }
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    ASSERT_EQ(ioctl(fd, VIDIOC_STREAMON, &type), 0);
    // Which recorded frame each delivered frame carries follows from how
    // many came before it: ten camera periods per recorded frame.
    std::set<int> shown;
    int delivered = 0;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 2000) != 1) break;  // the recording is over: no more frames
        v4l2_buffer b{};
        b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        b.memory = V4L2_MEMORY_MMAP;
        ASSERT_EQ(ioctl(fd, VIDIOC_DQBUF, &b), 0);
        int16_t firstTemp;
        std::memcpy(&firstTemp, maps[b.index] + 2 * w, sizeof firstTemp);  // row 0, after its image samples
        const int frame = firstTemp / 100 - 1;
        EXPECT_EQ(frame, delivered / 10) << "delivered frame " << delivered;
        shown.insert(frame);
        ++delivered;
        ASSERT_EQ(ioctl(fd, VIDIOC_QBUF, &b), 0);
    }
    EXPECT_EQ(shown, (std::set<int>{0, 1, 2}));
    // The last frame stands as long as the interval before it, then the
    // camera sends no more (no --loop).
    EXPECT_EQ(delivered, 30);
    close(fd);
    vcam::RemoveAll();
}
