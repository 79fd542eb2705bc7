// Frames handed straight to OnDataRecv: layout detection, the first frame's
// queries, the split into planes, temperature conversion and the callbacks.
#include "../support/stream_layouts.h"
#include "../support/wire_camera.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <string>
#include <thread>

namespace {

using Layout = StreamLayout;
const auto& kLayouts = kStreamLayouts;

uint16_t ImageSample(size_t r, size_t c) { return uint16_t(r * 131 + c * 7 + 1); }
int16_t RawTemp(size_t r, size_t c) { return int16_t(uint16_t(r * 977 + c * 13)); }

// A frame as the camera streams it: per row the image samples, then (with
// temperature) the raw temperature samples; host byte order.
Bytes MakeFrame(const Layout& l, int16_t (*raw)(size_t, size_t) = RawTemp)
{
    Bytes frame(l.Bytes());
    auto* s = reinterpret_cast<uint16_t*>(frame.data());
    for (size_t r = 0; r < size_t(l.height); ++r) {
        for (size_t c = 0; c < size_t(l.width); ++c)
            *s++ = ImageSample(r, c);
        for (size_t c = 0; l.withTemp && c < size_t(l.width); ++c)
            *s++ = uint16_t(raw(r, c));
    }
    return frame;
}

int16_t Tenths(int16_t raw, int scale, int offset)
{
    return int16_t(uint16_t(int32_t(std::trunc(double(raw - offset) / scale * 10.0))));
}

// What the callbacks saw, in call order.
struct Seen {
    std::string order;
    unsigned long videoHandle = 0, tempHandle = 0;
    void *videoUser = nullptr, *tempUser = nullptr;
    OZL_USB_VIDEO_INFO_CB video{};
    OZL_USB_TEMP_INFO_CB temp{};
    std::vector<uint16_t> image;
    std::vector<int16_t> temps;
};
Seen* g_seen = nullptr;

void OnVideo(unsigned long handle, OZL_USB_VIDEO_INFO_CB* f, void* user)
{
    g_seen->order += "V";
    g_seen->videoHandle = handle;
    g_seen->videoUser = user;
    g_seen->video = *f;
    g_seen->image.assign(f->data, f->data + size_t(f->width) * f->height);
}
void OnTemp(unsigned long handle, OZL_USB_TEMP_INFO_CB* f, void* user)
{
    g_seen->order += "T";
    g_seen->tempHandle = handle;
    g_seen->tempUser = user;
    g_seen->temp = *f;
    g_seen->temps.assign(f->data, f->data + size_t(f->width) * f->height);
}

class CameraFrames : public ::testing::Test {
protected:
    void SetUp() override { g_seen = &seen; }
    void TearDown() override { g_seen = nullptr; }
    void Deliver(WireCamera& c, Bytes& frame) { c.OnDataRecv(frame.data(), frame.size()); }
    Seen seen;
};

}  // namespace

TEST_F(CameraFrames, EachSizeFixesLayoutQueriesFormulaAndSplitsIntoPlanes)
{
    for (const Layout& l : kLayouts) {
        SCOPED_TRACE(std::to_string(l.width) + "x" + std::to_string(l.height) + (l.withTemp ? " temp" : ""));
        WireCamera c;
        if (l.withTemp)
            c.replies.push_back(Reply07(0x01, {0x03}));          // level code 3: interface level 2
        c.replies.push_back(Reply07(0x62, {0x64, 0x00, 0xE8, 0x03}));  // scale 100, offset 1000
        Bytes frame = MakeFrame(l);
        Deliver(c, frame);

        EXPECT_EQ(c.m_frameMode, l.withTemp ? FRAME_MODE_IMAGE_TEMP : FRAME_MODE_IMAGE);
        EXPECT_EQ(c.m_width, l.width);
        EXPECT_EQ(c.m_height, l.height);
        EXPECT_TRUE(c.m_firstFrame.load());
        EXPECT_EQ(c.m_tempData != nullptr, l.withTemp);
        const std::vector<Bytes> queries =
            l.withTemp ? std::vector<Bytes>{Request({0x07, 0x01, 0x00}), Request({0x07, 0x62, 0x00, 0x02})}
                       : std::vector<Bytes>{Request({0x07, 0x62, 0x00, 0x00})};
        EXPECT_EQ(c.written, queries);
        EXPECT_EQ(c.m_tempScale, 100);
        EXPECT_EQ(c.m_tempOffset, 1000);
        EXPECT_EQ(seen.order, "");  // nothing registered, nothing called

        int user = 0;
        c.StartPreview(OnVideo, &user);
        EXPECT_EQ(c.StartPullTemp(OnTemp, nullptr), l.withTemp ? 0 : OZL_USB_NOT_SUPPORTED);
        Deliver(c, frame);
        ASSERT_EQ(seen.order, l.withTemp ? "VT" : "V");
        EXPECT_EQ(c.written.size(), queries.size());  // the layout is fixed: no more queries
        EXPECT_EQ(seen.videoHandle, c.Handle());
        EXPECT_EQ(seen.videoUser, &user);
        EXPECT_EQ(seen.video.width, l.width);
        EXPECT_EQ(seen.video.height, l.height);
        EXPECT_EQ(seen.video.withTemp, l.withTemp ? 1 : 0);
        bool same = true;
        for (size_t r = 0; r < size_t(l.height); ++r)
            for (size_t col = 0; col < size_t(l.width); ++col)
                same = same && seen.image[r * l.width + col] == ImageSample(r, col);
        EXPECT_TRUE(same) << "image plane";
        if (l.withTemp) {
            EXPECT_EQ(seen.tempHandle, c.Handle());
            EXPECT_EQ(seen.tempUser, nullptr);
            EXPECT_EQ(seen.temp.width, l.width);
            EXPECT_EQ(seen.temp.height, l.height);
            for (size_t r = 0; r < size_t(l.height); ++r)
                for (size_t col = 0; col < size_t(l.width); ++col)
                    same = same && seen.temps[r * l.width + col] == Tenths(RawTemp(r, col), 100, 1000);
            EXPECT_TRUE(same) << "temperature plane";
        }

        // A frame of another size is dropped whole, whether shorter or longer.
        seen.order.clear();
        Bytes longer(frame.size() + 64, 0x11);
        c.OnDataRecv(longer.data(), longer.size());
        c.OnDataRecv(frame.data(), frame.size() - 2);
        EXPECT_EQ(seen.order, "");
    }
}

TEST_F(CameraFrames, UnlistedSizeIsNotALayoutAndRepeatsTheFormulaQuery)
{
    WireCamera c;
    Bytes frame(98305);
    Deliver(c, frame);
    Deliver(c, frame);
    EXPECT_EQ(c.m_frameMode, FRAME_MODE_NONE);
    EXPECT_FALSE(c.m_firstFrame.load());
    EXPECT_EQ(c.m_imageData, nullptr);
    EXPECT_EQ(c.written, std::vector<Bytes>(2, Request({0x07, 0x62, 0x00, 0x00})));
}

TEST_F(CameraFrames, EveryRawValueConvertsByTheFormulaWithTruncationAndWrap)
{
    const Layout l{384, 288, true};  // more temperature samples than raw values
    Bytes frame = MakeFrame(l, [](size_t r, size_t c) { return int16_t(uint16_t(r * 384 + c)); });
    WireCamera c;
    Deliver(c, frame);  // queries unanswered: scale 10, offset 0
    c.StartPullTemp(OnTemp, nullptr);

    struct Formula {
        int scale, offset;
    };
    for (Formula f : {Formula{10, 0}, Formula{100, 1000}, Formula{7, 0}, Formula{1, -32768}, Formula{65535, 32767},
                      Formula{3, -7}}) {
        c.m_tempScale = f.scale;
        c.m_tempOffset = f.offset;
        Deliver(c, frame);
        int wrong = 0;
        for (size_t i = 0; i < 65536; ++i)
            wrong += seen.temps[i] != Tenths(int16_t(uint16_t(i)), f.scale, f.offset);
        EXPECT_EQ(wrong, 0) << "scale " << f.scale << " offset " << f.offset;
        auto at = [&](int raw) { return seen.temps[uint16_t(int16_t(raw))]; };
        if (f.scale == 100) {
            EXPECT_EQ(at(3000), 200);
            EXPECT_EQ(at(0), -100);
        } else if (f.scale == 7) {
            EXPECT_EQ(at(3), 4);
            EXPECT_EQ(at(-3), -4);
        } else if (f.scale == 10) {
            EXPECT_EQ(at(-1), -1);  // 0xFFFF is -1, not 65535, and stays as it was
        } else if (f.scale == 1) {
            EXPECT_EQ(at(32767), int16_t(uint16_t(655350)));
        }
    }

    // A formula with scale 0 is unusable: the raw values pass through.
    c.m_tempScale = 0;
    c.m_tempOffset = 55;
    Deliver(c, frame);
    int changed = 0;
    for (size_t i = 0; i < 65536; ++i)
        changed += uint16_t(seen.temps[i]) != i;
    EXPECT_EQ(changed, 0);
}

TEST_F(CameraFrames, RegistrationChangesTakeEffectPerFrameAndNothingIsCopiedUnwatched)
{
    const Layout l{256, 192, true};
    Bytes frame = MakeFrame(l);
    WireCamera c;
    Deliver(c, frame);

    // Not watched: the planes are not touched.
    c.m_imageData[0] = 0xBEEF;
    Deliver(c, frame);
    EXPECT_EQ(c.m_imageData[0], 0xBEEF);

    // Preview alone still gets the split (and withTemp says a plane exists).
    c.StartPreview(OnVideo, nullptr);
    Deliver(c, frame);
    EXPECT_EQ(seen.order, "V");
    EXPECT_EQ(c.m_imageData[0], ImageSample(0, 0));
    EXPECT_EQ(seen.video.withTemp, 1);

    // Callbacks that stop and restart delivery from inside a frame.
    static WireCamera* s_camera;
    s_camera = &c;
    c.StartPreview([](unsigned long, OZL_USB_VIDEO_INFO_CB*, void* user) {
        g_seen->order += "s";
        s_camera->StopPreview();
        s_camera->StartPullTemp(OnTemp, user);
    }, &c);
    seen.order.clear();
    Deliver(c, frame);
    EXPECT_EQ(seen.order, "sT");
    EXPECT_EQ(seen.tempUser, &c);
    Deliver(c, frame);
    EXPECT_EQ(seen.order, "sTT");
    EXPECT_EQ(c.StopPullTemp(), 0);
    Deliver(c, frame);
    EXPECT_EQ(seen.order, "sTT");

    // A callback that shuts the camera down: no temperature callback after
    // it, and the planes stay valid for the rest of the frame.
    c.StartPullTemp(OnTemp, nullptr);
    c.StartPreview([](unsigned long, OZL_USB_VIDEO_INFO_CB*, void*) { s_camera->Deinit(); }, nullptr);
    seen.order.clear();
    Deliver(c, frame);
    EXPECT_EQ(seen.order, "");
    EXPECT_NE(c.m_imageData, nullptr);
}

TEST_F(CameraFrames, StopOnAnotherThreadWaitsForTheRunningCallback)
{
    const Layout l{256, 192, false};
    Bytes frame = MakeFrame(l);
    WireCamera c;
    Deliver(c, frame);
    static std::atomic<int> s_phase;  // 1: callback entered, 2: released
    s_phase = 0;
    c.StartPreview([](unsigned long, OZL_USB_VIDEO_INFO_CB*, void*) {
        s_phase = 1;
        while (s_phase != 2)
            std::this_thread::yield();
    }, nullptr);
    std::thread reader([&] { Deliver(c, frame); });
    while (s_phase != 1)
        std::this_thread::yield();
    std::atomic<bool> calling{false}, stopped{false};
    std::thread stopper([&] {
        calling = true;
        c.StopPreview();
        stopped = true;
    });
    // The stop has been called (or is about to be): it must not return while
    // the callback runs.
    while (!calling)
        std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(stopped.load());
    s_phase = 2;
    stopper.join();
    reader.join();
    EXPECT_TRUE(stopped.load());
    c.StartPreview(OnVideo, nullptr);
    c.StopPreview();
    Deliver(c, frame);
    EXPECT_EQ(seen.order, "");
}

TEST_F(CameraFrames, DeinitReleasesThePlanesAndLaterFramesAreIgnored)
{
    Bytes frame = MakeFrame({256, 192, true});
    WireCamera c;
    Deliver(c, frame);
    c.StartPreview(OnVideo, nullptr);
    c.Deinit();
    EXPECT_EQ(c.m_imageData, nullptr);
    EXPECT_EQ(c.m_tempData, nullptr);
    Deliver(c, frame);
    EXPECT_EQ(seen.order, "");
    EXPECT_EQ(c.CloseDev(), 0);
    EXPECT_FALSE(c.m_firstFrame.load());
}
