// The plugin's elements in this process, on virtual cameras: the source's
// buffers against what the C API delivers and against the scene, the
// colouring against the tool's, and the failures a user meets.
#include "../support/eventually.h"
#include "../support/glib_sanitizers.h"
#include "../support/scratch_dir.h"

#include <elements.h>
#include <vivaclient/colormaps.h>

#include <VIVAZUZOZ.h>
#include <vcam/VirtualCamera.h>

#include <gst/check/gstharness.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <vector>

namespace {

class GstElements : public testing::Test {
protected:
    GstElements()
    {
        setenv("XDG_STATE_HOME", (scratch_.path() + "/state").c_str(), 1);
        static std::once_flag once;
        std::call_once(once, [] {
            gst_init(nullptr, nullptr);
            vivazuzoz_register_elements(nullptr);
        });
    }
    ~GstElements() override { vcam::RemoveAll(); }

    ScratchDir scratch_;
};

// One frame of both planes as the C API hands them over.
struct ApiFrame {
    std::vector<uint16_t> image;
    std::vector<int16_t> temps;
    std::mutex mutex;
};

void OnImage(unsigned long, OZL_USB_VIDEO_INFO_CB* f, void* user)
{
    auto* frame = static_cast<ApiFrame*>(user);
    std::lock_guard<std::mutex> hold(frame->mutex);
    frame->image.assign(f->data, f->data + f->width * f->height);
}

void OnTemps(unsigned long, OZL_USB_TEMP_INFO_CB* f, void* user)
{
    auto* frame = static_cast<ApiFrame*>(user);
    std::lock_guard<std::mutex> hold(frame->mutex);
    frame->temps.assign(f->data, f->data + f->width * f->height);
}

void SearchOne(OZL_USB_DEV_INFO*, void*) {}

// A frame straight from the C API (initialised and left for this call only).
void GrabWithApi(ApiFrame& frame)
{
    OZL_USB_Init();
    ASSERT_EQ(OZL_USB_SearchDev(SearchOne, nullptr), OZL_USB_SUCCESS);
    unsigned long handle = 0;
    ASSERT_EQ(OZL_USB_OpenDev(0, &handle), OZL_USB_SUCCESS);
    ASSERT_EQ(OZL_USB_StartPullTemp(handle, OnTemps, &frame), OZL_USB_SUCCESS);
    ASSERT_EQ(OZL_USB_StartPreview(handle, OnImage, &frame), OZL_USB_SUCCESS);
    ASSERT_TRUE(Eventually([&] {
        std::lock_guard<std::mutex> hold(frame.mutex);
        return !frame.image.empty() && !frame.temps.empty();
    }));
    OZL_USB_CloseDev(handle);
    OZL_USB_Deinit();
}

std::vector<uint16_t> Samples(GstBuffer* buffer)
{
    std::vector<uint16_t> samples(gst_buffer_get_size(buffer) / 2);
    gst_buffer_extract(buffer, 0, samples.data(), samples.size() * 2);
    return samples;
}

// The pixels the scene's moving object never covers: equal in every frame.
template <typename A, typename B>
void ExpectStaticPixelsEqual(const vcam::Camera& cam, const A& got, const B& want, int offset, const char* what)
{
    const vcam::CameraSetup setup = cam.setup();
    int mismatches = 0, compared = 0;
    for (int y = 0; y < setup.height; ++y)
        for (int x = 0; x < setup.width; ++x) {
            if (!cam.IsStatic(x, y))
                continue;
            const size_t i = static_cast<size_t>(y) * setup.width + x;
            ++compared;
            if (static_cast<int>(got[i]) != static_cast<int>(want[i]) + offset && mismatches++ < 3)
                ADD_FAILURE() << what << " differs at " << x << "," << y << ": " << got[i] << " vs "
                              << static_cast<int>(want[i]) + offset;
        }
    EXPECT_GT(compared, setup.width * setup.height / 2);
    EXPECT_EQ(mismatches, 0) << what;
}

TEST_F(GstElements, SourceBuffersHoldBothPlanesAsTheApiDeliversThem)
{
    vcam::Camera& cam = vcam::AddCamera();
    ApiFrame api;
    GrabWithApi(api);
    ASSERT_FALSE(HasFatalFailure());

    for (const char* plane : {"image", "temperature"}) {
        SCOPED_TRACE(plane);
        GstHarness* h = gst_harness_new("vivazuzozsrc");
        gst_util_set_object_arg(G_OBJECT(h->element), "plane", plane);
        gst_harness_use_systemclock(h);
        gst_harness_play(h);

        std::vector<GstBuffer*> buffers;
        for (int i = 0; i < 5; ++i)
            buffers.push_back(gst_harness_pull(h));
        GstCaps* caps = gst_pad_get_current_caps(h->sinkpad);
        GstVideoInfo info;
        ASSERT_TRUE(gst_video_info_from_caps(&info, caps));
        gst_caps_unref(caps);
        EXPECT_EQ(GST_VIDEO_INFO_FORMAT(&info), GST_VIDEO_FORMAT_GRAY16_LE);
        EXPECT_EQ(GST_VIDEO_INFO_WIDTH(&info), 256);
        EXPECT_EQ(GST_VIDEO_INFO_HEIGHT(&info), 192);
        EXPECT_EQ(GST_VIDEO_INFO_FPS_N(&info), 25);
        EXPECT_EQ(GST_VIDEO_INFO_FPS_D(&info), 1);

        // A live source whose buffers are stamped when their frame arrived:
        // ready at their own time (no minimum latency, so that sinks that
        // sync do not hold them), queued for up to three frame periods.
        GstQuery* latency = gst_query_new_latency();
        ASSERT_TRUE(gst_element_query(h->element, latency));
        gboolean live = FALSE;
        GstClockTime min = 0, max = 0;
        gst_query_parse_latency(latency, &live, &min, &max);
        gst_query_unref(latency);
        EXPECT_TRUE(live);
        EXPECT_EQ(min, 0u);
        EXPECT_EQ(max, 3 * GST_SECOND / 25);

        const bool temperature = std::string(plane) == "temperature";
        uint64_t lastSequence = 0;
        GstClockTime lastPts = 0;
        for (GstBuffer* b : buffers) {
            GstVivazuzozMeta* meta = gst_buffer_get_vivazuzoz_meta(b);
            ASSERT_NE(meta, nullptr);
            ASSERT_NE(meta->other, nullptr);
            EXPECT_EQ(meta->plane, temperature ? GST_VIVAZUZOZ_PLANE_TEMPERATURE : GST_VIVAZUZOZ_PLANE_IMAGE);
            EXPECT_GT(meta->sequence, lastSequence);
            EXPECT_TRUE(GST_BUFFER_PTS_IS_VALID(b));
            EXPECT_GE(GST_BUFFER_PTS(b), lastPts);
            lastSequence = meta->sequence;
            lastPts = GST_BUFFER_PTS(b);
            const std::vector<uint16_t> own = Samples(b), other = Samples(meta->other);
            ASSERT_EQ(own.size(), 256u * 192u);
            ASSERT_EQ(other.size(), own.size());
            const auto& image = temperature ? other : own;
            const auto& temps = temperature ? own : other;
            ExpectStaticPixelsEqual(cam, image, api.image, 0, "image plane");
            ExpectStaticPixelsEqual(cam, temps, api.temps, GST_VIVAZUZOZ_TEMPERATURE_OFFSET, "temperature plane");
            // And in degrees, as the scene made them.
            EXPECT_EQ(gst_vivazuzoz_degrees(temps[10 * 256 + 10]) * 10, cam.SceneTenths(10, 10));
        }
        for (GstBuffer* b : buffers)
            gst_buffer_unref(b);
        gst_harness_teardown(h);
    }
}

// Runs `description` until its first error message (or 20 s); the error's
// domain, code and texts.
struct ErrorSeen {
    bool seen = false;
    GQuark domain = 0;
    int code = 0;
    std::string message, debug;
};

ErrorSeen RunUntilError(const std::string& description, const std::function<void()>& whilePlaying = nullptr)
{
    ErrorSeen e;
    GError* parseError = nullptr;
    GstElement* pipeline = gst_parse_launch(description.c_str(), &parseError);
    EXPECT_EQ(parseError, nullptr);
    if (!pipeline)
        return e;
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    GstBus* bus = gst_element_get_bus(pipeline);
    if (whilePlaying)
        whilePlaying();
    if (GstMessage* m = gst_bus_timed_pop_filtered(bus, 20 * GST_SECOND, GST_MESSAGE_ERROR)) {
        GError* error = nullptr;
        gchar* debug = nullptr;
        gst_message_parse_error(m, &error, &debug);
        e = {true, error->domain, error->code, error->message, debug ? debug : ""};
        g_error_free(error);
        g_free(debug);
        gst_message_unref(m);
    }
    gst_object_unref(bus);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(pipeline);
    return e;
}

TEST_F(GstElements, SourceFailuresAreElementErrorsThatSayWhatToDo)
{
    {
        const ErrorSeen none = RunUntilError("vivazuzozsrc ! fakesink");
        ASSERT_TRUE(none.seen) << "no error without a camera";
        EXPECT_EQ(none.domain, GST_RESOURCE_ERROR);
        EXPECT_EQ(none.code, GST_RESOURCE_ERROR_NOT_FOUND);
        EXPECT_NE(none.debug.find("Plug the camera in"), std::string::npos) << none.debug;
    }
    vcam::Camera& cam = vcam::AddCamera();
    {
        const ErrorSeen wrongIndex = RunUntilError("vivazuzozsrc device=3 ! fakesink");
        ASSERT_TRUE(wrongIndex.seen);
        EXPECT_EQ(wrongIndex.code, GST_RESOURCE_ERROR_NOT_FOUND);
        EXPECT_NE(wrongIndex.message.find("no camera with index 3"), std::string::npos) << wrongIndex.message;
    }
    {
        // A camera this process already has open: its one owner stays undisturbed.
        OZL_USB_Init();
        ASSERT_EQ(OZL_USB_SearchDev(SearchOne, nullptr), OZL_USB_SUCCESS);
        unsigned long handle = 0;
        ASSERT_EQ(OZL_USB_OpenDev(0, &handle), OZL_USB_SUCCESS);
        const ErrorSeen busy = RunUntilError("vivazuzozsrc ! fakesink");
        ASSERT_TRUE(busy.seen);
        EXPECT_EQ(busy.domain, GST_RESOURCE_ERROR);
        EXPECT_NE(busy.message.find("OZL_USB_OpenDev"), std::string::npos) << busy.message;
        OZL_USB_CloseDev(handle);
        OZL_USB_Deinit();
    }
    {
        // Two sources on one camera: the second says who has it.
        GstHarness* first = gst_harness_new("vivazuzozsrc");
        gst_harness_use_systemclock(first);
        gst_harness_play(first);
        GstBuffer* b = gst_harness_pull(first);
        ASSERT_NE(b, nullptr);
        gst_buffer_unref(b);
        const ErrorSeen busy = RunUntilError("vivazuzozsrc ! fakesink");
        gst_harness_teardown(first);
        ASSERT_TRUE(busy.seen);
        EXPECT_EQ(busy.code, GST_RESOURCE_ERROR_BUSY);
        EXPECT_NE(busy.message.find("in use by another stream of this program"), std::string::npos) << busy.message;
        EXPECT_EQ(busy.debug.find("advice above"), std::string::npos) << busy.debug;
    }
    {
        vcam::CameraSetup imageOnly;
        imageOnly.withTemp = false;
        vcam::AddCamera(imageOnly);
        const ErrorSeen noTemps = RunUntilError("vivazuzozsrc device=1 plane=temperature ! fakesink");
        ASSERT_TRUE(noTemps.seen);
        EXPECT_EQ(noTemps.code, GST_RESOURCE_ERROR_SETTINGS);
        EXPECT_NE(noTemps.debug.find("plane=image"), std::string::npos) << noTemps.debug;
    }
    {
        const ErrorSeen badSetting = RunUntilError("vivazuzozsrc emissivity=2 ! fakesink");
        ASSERT_TRUE(badSetting.seen);
        EXPECT_EQ(badSetting.code, GST_RESOURCE_ERROR_SETTINGS);
        EXPECT_NE(badSetting.message.find("emissivity"), std::string::npos) << badSetting.message;
    }
    {
        // Unplugged while streaming: an error, not a hang.
        const ErrorSeen unplug = RunUntilError("vivazuzozsrc ! fakesink", [&] {
            ASSERT_TRUE(Eventually([&] { return cam.framesDequeued() > 5; }));
            cam.Unplug();
        });
        ASSERT_TRUE(unplug.seen) << "no error after an unplug";
        EXPECT_EQ(unplug.code, GST_RESOURCE_ERROR_READ);
        EXPECT_NE(unplug.message.find("unplugged"), std::string::npos) << unplug.message;
        EXPECT_NE(unplug.debug.find("reconnect=true"), std::string::npos) << unplug.debug;
    }
}

TEST_F(GstElements, SourceWithReconnectGoesOnAfterAReplugAndKeepsCounting)
{
    vcam::Camera& cam = vcam::AddCamera();
    GstHarness* h = gst_harness_new("vivazuzozsrc");
    g_object_set(h->element, "reconnect", TRUE, "temp-level", "1", nullptr);
    gst_harness_use_systemclock(h);
    gst_harness_play(h);
    GstBuffer* before = gst_harness_pull(h);
    ASSERT_NE(before, nullptr);
    EXPECT_EQ(cam.model().tempLevelCode, 1) << "the temp-level property did not reach the camera";
    const uint64_t sequenceBefore = gst_buffer_get_vivazuzoz_meta(before)->sequence;
    gst_buffer_unref(before);
    cam.Unplug();
    std::thread replug([&cam] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        cam.Replug();
    });
    // The frames after the replug, numbered on from those before.
    GstBuffer* after = nullptr;
    for (int i = 0; i < 200 && !after; ++i) {
        GstBuffer* b = gst_harness_pull(h);
        ASSERT_NE(b, nullptr) << "no frame after the replug";
        if (cam.framesDequeued() > 0 && !cam.unplugged() &&
            gst_buffer_get_vivazuzoz_meta(b)->sequence > sequenceBefore + 3)
            after = b;
        else
            gst_buffer_unref(b);
    }
    replug.join();
    ASSERT_NE(after, nullptr);
    EXPECT_GT(gst_buffer_get_vivazuzoz_meta(after)->sequence, sequenceBefore);
    gst_buffer_unref(after);
    gst_harness_teardown(h);
}

// The source's "vivazuzoz-camera-event" bus messages in order, and
// "warning" for each warning.
struct EventSeen {
    std::string event;
    double gap = 0;
    guint64 sequence = 0;
};

std::vector<EventSeen> CameraEvents(GstBus* bus)
{
    std::vector<EventSeen> events;
    while (GstMessage* m = gst_bus_pop(bus)) {
        const GstStructure* s = gst_message_get_structure(m);
        if (GST_MESSAGE_TYPE(m) == GST_MESSAGE_WARNING)
            events.push_back({"warning"});
        else if (GST_MESSAGE_TYPE(m) == GST_MESSAGE_ELEMENT && gst_structure_has_name(s, "vivazuzoz-camera-event")) {
            EventSeen e{gst_structure_get_string(s, "event")};
            gst_structure_get_double(s, "gap-seconds", &e.gap);
            gst_structure_get_uint64(s, "sequence", &e.sequence);
            events.push_back(e);
        }
        gst_message_unref(m);
    }
    return events;
}

TEST_F(GstElements, SourceKeepsAliveWhileTheCameraIsAwayAndSaysSoOnTheBus)
{
    vcam::Camera& cam = vcam::AddCamera();
    GstHarness* h = gst_harness_new("vivazuzozsrc");
    GstBus* bus = gst_bus_new();
    gst_element_set_bus(h->element, bus);
    g_object_set(h->element, "reconnect", TRUE, "keep-alive", TRUE, nullptr);
    gst_harness_use_systemclock(h);
    gst_harness_play(h);
    GstBuffer* live = gst_harness_pull(h);
    ASSERT_NE(live, nullptr);
    const uint64_t sequenceBefore = gst_buffer_get_vivazuzoz_meta(live)->sequence;
    gst_buffer_unref(live);
    GstCaps* capsBefore = gst_pad_get_current_caps(h->sinkpad);
    cam.Unplug();

    // Repeats of the last frame, marked, at a low rate, in time order.
    GstClockTime lastPts = 0;
    int repeats = 0;
    for (int i = 0; i < 300 && repeats < 3; ++i) {
        GstBuffer* b = gst_harness_pull(h);
        ASSERT_NE(b, nullptr) << "the source went quiet while the camera was away";
        const GstVivazuzozMeta* meta = gst_buffer_get_vivazuzoz_meta(b);
        ASSERT_NE(meta, nullptr);
        EXPECT_GT(GST_BUFFER_PTS(b), lastPts);
        lastPts = GST_BUFFER_PTS(b);
        if (meta->camera_lost) {
            ++repeats;
            EXPECT_NE(meta->other, nullptr) << "a repeat lost its other plane";
            EXPECT_LE(meta->sequence, sequenceBefore + 30) << "a repeat is numbered as a new frame";
        }
        gst_buffer_unref(b);
    }
    ASSERT_EQ(repeats, 3);
    GstCaps* capsAway = gst_pad_get_current_caps(h->sinkpad);
    EXPECT_TRUE(gst_caps_is_equal(capsBefore, capsAway));
    gst_caps_unref(capsAway);
    gst_caps_unref(capsBefore);

    // Live frames again after the replug, numbered on.
    cam.Replug();
    GstBuffer* after = nullptr;
    for (int i = 0; i < 300 && !after; ++i) {
        GstBuffer* b = gst_harness_pull(h);
        ASSERT_NE(b, nullptr) << "no frame after the replug";
        EXPECT_GT(GST_BUFFER_PTS(b), lastPts);
        lastPts = GST_BUFFER_PTS(b);
        if (!gst_buffer_get_vivazuzoz_meta(b)->camera_lost && cam.framesDequeued() > 0)
            after = b;
        else
            gst_buffer_unref(b);
    }
    ASSERT_NE(after, nullptr);
    EXPECT_GT(gst_buffer_get_vivazuzoz_meta(after)->sequence, sequenceBefore);
    gst_buffer_unref(after);

    std::vector<EventSeen> events = CameraEvents(bus);
    std::string names;
    for (const EventSeen& e : events)
        names += e.event + " ";
    // The loss is a warning too.
    EXPECT_EQ(names, "opened lost warning opened back ");
    if (events.size() == 5) {
        EXPECT_GT(events[4].gap, 0);
        EXPECT_GT(events[4].sequence, sequenceBefore);
    }
    gst_harness_teardown(h);
    gst_object_unref(bus);
}

TEST_F(GstElements, SourceStartedWhileItsCameraIsAwayRepeatsWhatAnEarlierSourceSawLast)
{
    vcam::Camera& cam = vcam::AddCamera();
    auto keptAlive = [] {
        GstHarness* h = gst_harness_new("vivazuzozsrc");
        g_object_set(h->element, "reconnect", TRUE, "keep-alive", TRUE, nullptr);
        gst_harness_use_systemclock(h);
        gst_harness_play(h);
        return h;
    };
    GstHarness* first = keptAlive();
    GstBuffer* seen = gst_harness_pull(first);
    ASSERT_NE(seen, nullptr);
    const std::vector<uint16_t> seenSamples = Samples(seen);
    gst_buffer_unref(seen);
    GstCaps* caps = gst_pad_get_current_caps(first->sinkpad);
    gst_harness_teardown(first);

    // An RTSP client that arrives during an unplug: the stream starts anyway.
    cam.Unplug();
    GstHarness* second = keptAlive();
    GstBuffer* repeat = gst_harness_pull(second);
    ASSERT_NE(repeat, nullptr);
    EXPECT_TRUE(gst_buffer_get_vivazuzoz_meta(repeat)->camera_lost);
    EXPECT_EQ(Samples(repeat).size(), seenSamples.size());
    gst_buffer_unref(repeat);
    GstCaps* awayCaps = gst_pad_get_current_caps(second->sinkpad);
    EXPECT_TRUE(gst_caps_is_equal(caps, awayCaps));
    gst_caps_unref(awayCaps);
    gst_caps_unref(caps);

    cam.Replug();
    bool live = false;
    for (int i = 0; i < 300 && !live; ++i) {
        GstBuffer* b = gst_harness_pull(second);
        ASSERT_NE(b, nullptr) << "no frame after the replug";
        live = !gst_buffer_get_vivazuzoz_meta(b)->camera_lost;
        gst_buffer_unref(b);
    }
    EXPECT_TRUE(live) << "the camera came back, its frames did not";
    gst_harness_teardown(second);
}

// Samples without padding, as the meta's other plane holds them.
GstBuffer* PlaneBuffer(const std::vector<uint16_t>& samples)
{
    GstBuffer* b = gst_buffer_new_allocate(nullptr, samples.size() * 2, nullptr);
    gst_buffer_fill(b, 0, samples.data(), samples.size() * 2);
    return b;
}

// A GRAY16_LE video frame: rows padded to four bytes.
GstBuffer* GreyBuffer(const std::vector<uint16_t>& samples, int width)
{
    const size_t stride = GST_ROUND_UP_4(width * 2), height = samples.size() / width;
    GstBuffer* b = gst_buffer_new_allocate(nullptr, stride * height, nullptr);
    for (size_t y = 0; y < height; ++y)
        gst_buffer_fill(b, y * stride, &samples[y * width], width * 2);
    return b;
}

std::vector<uint8_t> PullRgb(GstHarness* h, int width, int height, const char* format)
{
    GstBuffer* out = gst_harness_pull(h);
    GstVideoInfo info;
    GstCaps* caps = gst_pad_get_current_caps(h->sinkpad);
    gst_video_info_from_caps(&info, caps);
    gst_caps_unref(caps);
    GstVideoFrame frame;
    gst_video_frame_map(&frame, &info, out, GST_MAP_READ);
    std::vector<uint8_t> rgb;
    const auto* data = static_cast<const uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0));
    const int stride = GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0);
    const std::string f = format;
    const int step = f == "RGB" ? 3 : 4;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const uint8_t* p = data + y * stride + x * step;
            if (f == "BGRx")
                rgb.insert(rgb.end(), {p[2], p[1], p[0]});
            else
                rgb.insert(rgb.end(), {p[0], p[1], p[2]});
        }
    gst_video_frame_unmap(&frame);
    gst_buffer_unref(out);
    return rgb;
}

GstHarness* Colorizer(const std::string& properties, int width, int height, const char* format)
{
    GstHarness* h = gst_harness_new_parse(("thermalcolorize " + properties).c_str());
    const std::string size = ", width=" + std::to_string(width) + ", height=" + std::to_string(height) +
                             ", framerate=25/1";
    gst_harness_set_src_caps_str(h, ("video/x-raw, format=GRAY16_LE" + size).c_str());
    gst_harness_set_sink_caps_str(h, (std::string("video/x-raw, format=") + format + size).c_str());
    return h;
}

TEST_F(GstElements, ColorizeGivesTheToolsColoursInEveryPackedFormat)
{
    constexpr int kWidth = 37, kHeight = 21;  // odd: rows padded in RGB
    std::mt19937 random(7);
    std::vector<uint16_t> samples(kWidth * kHeight);
    for (auto& s : samples)
        s = static_cast<uint16_t>(1000 + random() % 3000);
    std::vector<int16_t> tenths(samples.size());
    for (size_t i = 0; i < samples.size(); ++i)
        tenths[i] = static_cast<int16_t>(static_cast<int>(random() % 4000) - 500);

    for (const auto& map : vivaclient::Colormaps()) {
        const std::vector<uint8_t> raw = vivaclient::Colorize(samples.data(), kWidth, kHeight, map.build());
        const std::vector<uint8_t> hot = vivaclient::Colorize(tenths.data(), kWidth, kHeight, map.build());
        for (const char* format : {"RGB", "RGBx", "BGRx"}) {
            SCOPED_TRACE(std::string(map.name) + " " + format);
            GstHarness* h = Colorizer(std::string("range=frame colormap=") + map.name, kWidth, kHeight, format);
            gst_harness_push(h, GreyBuffer(samples, kWidth));
            EXPECT_EQ(PullRgb(h, kWidth, kHeight, format), raw);
            // With the temperatures in the meta, as the source sends the
            // image plane: coloured by temperature, as the tool's pictures.
            GstBuffer* b = GreyBuffer(samples, kWidth);
            std::vector<uint16_t> mapped(tenths.size());
            for (size_t i = 0; i < tenths.size(); ++i)
                mapped[i] = static_cast<uint16_t>(tenths[i] + GST_VIVAZUZOZ_TEMPERATURE_OFFSET);
            vivazuzoz_buffer_add_meta(b, 1, GST_VIVAZUZOZ_PLANE_IMAGE, kWidth, kHeight, PlaneBuffer(mapped));
            gst_harness_push(h, b);
            EXPECT_EQ(PullRgb(h, kWidth, kHeight, format), hot);
            gst_harness_teardown(h);
        }
    }
}

TEST_F(GstElements, ColorizeLabelsTheColourBarInDegreesOnlyOnTemperatures)
{
    // A flat scene at 30 degrees, the range fixed: iron's middle colour
    // everywhere but the bar, and white label pixels only where degrees are known.
    constexpr int kWidth = 96, kHeight = 48;
    const std::vector<uint16_t> samples(kWidth * kHeight, 300 + GST_VIVAZUZOZ_TEMPERATURE_OFFSET);
    auto whiteLeftOfBar = [&](bool temperatures) {
        const double low = temperatures ? 20 : 300 + GST_VIVAZUZOZ_TEMPERATURE_OFFSET - 100;
        const double high = temperatures ? 40 : 300 + GST_VIVAZUZOZ_TEMPERATURE_OFFSET + 100;
        GstHarness* h = Colorizer("range=fixed colorbar=true colormap=iron min=" + std::to_string(low) +
                                      " max=" + std::to_string(high),
                                  kWidth, kHeight, "RGB");
        GstBuffer* b = GreyBuffer(samples, kWidth);
        if (temperatures)
            vivazuzoz_buffer_add_meta(b, 1, GST_VIVAZUZOZ_PLANE_TEMPERATURE, kWidth, kHeight, nullptr);
        gst_harness_push(h, b);
        const std::vector<uint8_t> rgb = PullRgb(h, kWidth, kHeight, "RGB");
        gst_harness_teardown(h);
        int white = 0;
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth - 4; ++x) {
                const uint8_t* p = &rgb[(y * kWidth + x) * 3];
                white += p[0] == 255 && p[1] == 255 && p[2] == 255;
            }
        return white;
    };
    EXPECT_GT(whiteLeftOfBar(true), 20) << "no degrees beside the bar";
    EXPECT_EQ(whiteLeftOfBar(false), 0) << "raw samples labelled as degrees";
}

TEST_F(GstElements, ColorizeDimsAndLabelsARepeatSentWhileTheCameraIsAway)
{
    constexpr int kWidth = 160, kHeight = 120;
    std::vector<uint16_t> samples(kWidth * kHeight);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<uint16_t>(1000 + i % 3000);
    auto colour = [&](bool lost) {
        GstHarness* h = Colorizer("range=fixed min=1000 max=4000 colormap=rainbow", kWidth, kHeight, "RGB");
        GstBuffer* b = GreyBuffer(samples, kWidth);
        vivazuzoz_buffer_add_meta(b, 7, GST_VIVAZUZOZ_PLANE_IMAGE, kWidth, kHeight, nullptr)->camera_lost = lost;
        gst_harness_push(h, b);
        std::vector<uint8_t> rgb = PullRgb(h, kWidth, kHeight, "RGB");
        gst_harness_teardown(h);
        return rgb;
    };
    const std::vector<uint8_t> live = colour(false), lost = colour(true);
    ASSERT_EQ(live.size(), lost.size());
    // Every pixel at half brightness but the label's, which are white or its
    // black rim, and all in the middle band.
    int white = 0, elsewhere = 0;
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            const size_t i = (static_cast<size_t>(y) * kWidth + x) * 3;
            const bool dimmed = lost[i] == live[i] / 2 && lost[i + 1] == live[i + 1] / 2 &&
                                lost[i + 2] == live[i + 2] / 2;
            if (dimmed)
                continue;
            const bool isWhite = lost[i] == 255 && lost[i + 1] == 255 && lost[i + 2] == 255;
            white += isWhite;
            elsewhere += y < kHeight / 3 || y > kHeight * 2 / 3;
        }
    EXPECT_GT(white, 100) << "no label";
    EXPECT_EQ(elsewhere, 0) << "the label is not across the middle";
}

TEST_F(GstElements, ColorizeI420MatchesItsRgbThroughVideoconvert)
{
    // Samples constant over each 2x2 block, so that the chroma subsampling
    // loses nothing: GStreamer's own converter, back to RGB, must give the
    // colours of the RGB output to within the 8-bit rounding of BT.601 both
    // ways (a swapped or misplaced plane is off by far more).
    constexpr int kWidth = 32, kHeight = 16;
    std::vector<uint16_t> samples(kWidth * kHeight);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x)
            samples[y * kWidth + x] = static_cast<uint16_t>(((y / 2) * (kWidth / 2) + x / 2) * 37 % 4000);
    const std::vector<uint8_t> want = vivaclient::Colorize(samples.data(), kWidth, kHeight,
                                                           vivaclient::FindColormap("rainbow")->build());
    GstHarness* h = gst_harness_new_parse(
        "thermalcolorize range=frame colormap=rainbow ! video/x-raw,format=I420 ! videoconvert");
    const std::string size = ", width=" + std::to_string(kWidth) + ", height=" + std::to_string(kHeight) +
                             ", framerate=25/1";
    gst_harness_set_src_caps_str(h, ("video/x-raw, format=GRAY16_LE" + size).c_str());
    gst_harness_set_sink_caps_str(h, ("video/x-raw, format=RGB" + size).c_str());
    gst_harness_push(h, GreyBuffer(samples, kWidth));
    const std::vector<uint8_t> got = PullRgb(h, kWidth, kHeight, "RGB");
    ASSERT_EQ(got.size(), want.size());
    int worst = 0;
    for (size_t i = 0; i < got.size(); ++i)
        worst = std::max(worst, std::abs(int(got[i]) - int(want[i])));
    EXPECT_LE(worst, 8) << "I420 colours differ from the RGB ones by up to " << worst;
    gst_harness_teardown(h);
}

TEST_F(GstElements, ColorizeMarksTheHottestAndColdestPixelInRgbAndI420)
{
    // A mid-grey scene with one hot and one cold pixel, iron over the frame's
    // range: white (hot) gets a black cross, black (cold) a white one, with
    // arms of two pixels; in I420 the crosses are in the Y plane.
    constexpr int kWidth = 32, kHeight = 16;
    std::vector<uint16_t> samples(kWidth * kHeight, 2000);
    samples[5 * kWidth + 20] = 5000;
    samples[10 * kWidth + 7] = 10;
    const int hot[][2] = {{18, 5}, {20, 5}, {22, 5}, {20, 3}, {20, 7}};
    const int cold[][2] = {{5, 10}, {7, 10}, {9, 10}, {7, 8}, {7, 12}};
    GstHarness* rgb = Colorizer("range=frame colormap=iron markers=true", kWidth, kHeight, "RGB");
    gst_harness_push(rgb, GreyBuffer(samples, kWidth));
    const std::vector<uint8_t> picture = PullRgb(rgb, kWidth, kHeight, "RGB");
    gst_harness_teardown(rgb);
    for (const auto& p : hot)
        EXPECT_EQ(picture[(p[1] * kWidth + p[0]) * 3 + 1], 0) << "hot cross at " << p[0] << "," << p[1];
    for (const auto& p : cold)
        EXPECT_EQ(picture[(p[1] * kWidth + p[0]) * 3 + 1], 255) << "cold cross at " << p[0] << "," << p[1];
    EXPECT_NE(picture[(5 * kWidth + 23) * 3 + 1], 0) << "the cross is longer than its arms";

    GstHarness* yuv = Colorizer("range=frame colormap=iron markers=true", kWidth, kHeight, "I420");
    gst_harness_push(yuv, GreyBuffer(samples, kWidth));
    GstBuffer* out = gst_harness_pull(yuv);
    GstVideoInfo info;
    gst_video_info_set_format(&info, GST_VIDEO_FORMAT_I420, kWidth, kHeight);
    GstVideoFrame frame;
    ASSERT_TRUE(gst_video_frame_map(&frame, &info, out, GST_MAP_READ));
    const auto* y = static_cast<const uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0));
    const int stride = GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0);
    for (const auto& p : hot)
        EXPECT_EQ(y[p[1] * stride + p[0]], 16) << "hot cross (black) at " << p[0] << "," << p[1];
    for (const auto& p : cold)
        EXPECT_EQ(y[p[1] * stride + p[0]], 235) << "cold cross (white) at " << p[0] << "," << p[1];
    gst_video_frame_unmap(&frame);
    gst_buffer_unref(out);
    gst_harness_teardown(yuv);
}

TEST_F(GstElements, ColorizeRangesFixedInDegreesAndAutoWithoutJumps)
{
    constexpr int kWidth = 16, kHeight = 2;
    const vivaclient::Colormap iron = vivaclient::FindColormap("iron")->build();
    auto colorAt = [&](const std::vector<uint8_t>& rgb, int i) {
        return vivaclient::Rgb{rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2]};
    };
    auto same = [](vivaclient::Rgb a, vivaclient::Rgb b) { return a.r == b.r && a.g == b.g && a.b == b.b; };

    // Fixed 20 to 40 degrees on a temperature plane: 10 and 50 degrees clamp
    // to the ends, 30 degrees is the middle entry.
    std::vector<uint16_t> temps(kWidth * kHeight, 300 + GST_VIVAZUZOZ_TEMPERATURE_OFFSET);
    temps[0] = 100 + GST_VIVAZUZOZ_TEMPERATURE_OFFSET;
    temps[1] = 500 + GST_VIVAZUZOZ_TEMPERATURE_OFFSET;
    GstHarness* fixed = Colorizer("range=fixed min=20 max=40 colormap=iron", kWidth, kHeight, "RGB");
    GstBuffer* b = GreyBuffer(temps, kWidth);
    vivazuzoz_buffer_add_meta(b, 1, GST_VIVAZUZOZ_PLANE_TEMPERATURE, kWidth, kHeight, nullptr);
    gst_harness_push(fixed, b);
    std::vector<uint8_t> rgb = PullRgb(fixed, kWidth, kHeight, "RGB");
    EXPECT_TRUE(same(colorAt(rgb, 0), iron[0]));
    EXPECT_TRUE(same(colorAt(rgb, 1), iron[255]));
    EXPECT_TRUE(same(colorAt(rgb, 2), iron[128]));
    gst_harness_teardown(fixed);

    // Auto: a frame spanning 0..1000 over and over, then one whose hottest
    // pixel jumps to 2000. The picture follows over several frames.
    GstHarness* h = Colorizer("range=auto colormap=iron", kWidth, kHeight, "RGB");
    std::vector<uint16_t> ramp(kWidth * kHeight);
    for (size_t i = 0; i < ramp.size(); ++i)
        ramp[i] = static_cast<uint16_t>(i * 1000 / (ramp.size() - 1));
    for (int i = 0; i < 3; ++i) {
        gst_harness_push(h, GreyBuffer(ramp, kWidth));
        rgb = PullRgb(h, kWidth, kHeight, "RGB");
    }
    EXPECT_EQ(rgb, vivaclient::Colorize(ramp.data(), kWidth, kHeight, iron)) << "a steady scene is not its own range";
    std::vector<uint16_t> hotter = ramp;
    hotter.back() = 2000;
    gst_harness_push(h, GreyBuffer(hotter, kWidth));
    rgb = PullRgb(h, kWidth, kHeight, "RGB");
    const int middle = kWidth * kHeight / 2;
    const vivaclient::Rgb firstAfter = colorAt(rgb, middle);
    const auto jumped = vivaclient::Colorize(hotter.data(), kWidth, kHeight, iron);
    EXPECT_FALSE(same(firstAfter, colorAt(jumped, middle))) << "the range jumped in one frame";
    for (int i = 0; i < 100; ++i) {
        gst_harness_push(h, GreyBuffer(hotter, kWidth));
        rgb = PullRgb(h, kWidth, kHeight, "RGB");
    }
    EXPECT_EQ(rgb, jumped) << "the range did not settle on the new frame's";
    gst_harness_teardown(h);
}

TEST_F(GstElements, DeviceProviderListsEachCameraAndMakesItsSource)
{
    vcam::AddCamera();
    vcam::CameraSetup second;
    second.name = "Second Camera";
    vcam::AddCamera(second);
    GstDeviceProvider* provider = gst_device_provider_factory_get_by_name("vivazuzozdeviceprovider");
    ASSERT_NE(provider, nullptr);
    GList* devices = gst_device_provider_get_devices(provider);
    ASSERT_EQ(g_list_length(devices), 2u);
    std::vector<std::string> names;
    for (GList* d = devices; d; d = d->next) {
        GstDevice* device = GST_DEVICE(d->data);
        gchar* name = gst_device_get_display_name(device);
        names.push_back(name);
        g_free(name);
        EXPECT_TRUE(gst_device_has_classes(device, "Video/Source"));
    }
    EXPECT_NE(names[0].find("Virtual Thermal Camera"), std::string::npos) << names[0];
    EXPECT_NE(names[1].find("Second Camera"), std::string::npos) << names[1];
    GstElement* source = gst_device_create_element(GST_DEVICE(g_list_nth_data(devices, 1)), nullptr);
    ASSERT_NE(source, nullptr);
    gint index = -1;
    g_object_get(source, "device", &index, nullptr);
    EXPECT_EQ(index, 1);
    gst_object_unref(source);
    g_list_free_full(devices, gst_object_unref);
    gst_object_unref(provider);
}

}  // namespace

TEST_F(GstElements, SourceMetaFlagsTheFramesOfTheCamerasOwnShutterCorrections)
{
#if defined(__SANITIZE_THREAD__)
    // A hundred frames of the harness under ThreadSanitizer outlast the test's
    // time, and the meta read here was written on the source's thread and
    // handed over through GLib's queue, whose locks the runtime cannot see.
    GTEST_SKIP() << "the shutter flags are checked in the plain and AddressSanitizer builds";
#endif
    vcam::CameraSetup setup;
    setup.autoShutter = 30;
    setup.timeScale = 60;  // a correction every half second
    setup.shutterMs = 300;
    setup.shutterLook = vcam::ShutterLook::Flat;
    vcam::AddCamera(setup);
    GstHarness* h = gst_harness_new("vivazuzozsrc");
    gst_harness_play(h);
    int shutter = 0, settling = 0, flat = 0;
    for (int i = 0; i < 100; ++i) {
        GstBuffer* b = gst_harness_pull(h);
        ASSERT_NE(b, nullptr);
        const GstVivazuzozMeta* meta = gst_buffer_get_vivazuzoz_meta(b);
        ASSERT_NE(meta, nullptr);
        ASSERT_NE(meta->other, nullptr);
        const std::vector<uint16_t> temps = Samples(meta->other);
        const bool isFlat = std::all_of(temps.begin(), temps.end(), [&](uint16_t t) { return t == temps[0]; });
        EXPECT_TRUE(!isFlat || meta->shutter) << "frame " << meta->sequence;
        EXPECT_FALSE(meta->shutter && meta->settling);
        flat += isFlat;
        shutter += meta->shutter;
        settling += meta->settling;
        // Copies keep the flags.
        GstBuffer* copy = gst_buffer_copy(b);
        EXPECT_EQ(gst_buffer_get_vivazuzoz_meta(copy)->shutter, meta->shutter);
        EXPECT_EQ(gst_buffer_get_vivazuzoz_meta(copy)->settling, meta->settling);
        gst_buffer_unref(copy);
        gst_buffer_unref(b);
    }
    EXPECT_GE(flat, 10);
    EXPECT_GE(shutter, flat);
    EXPECT_GE(settling, 10);
    gst_harness_teardown(h);
}
