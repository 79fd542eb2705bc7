// vivazuzozsrc.cpp - a camera as a live GStreamer source.
//
// The camera is opened through the client layer (Camera::Open), its frames
// joined by FrameStream. The library's read thread fills buffers and queues
// them; create() hands them on with timestamps on the pipeline clock. A lost
// camera is an element error, or with reconnect=true a wait for it.
#include "elements.h"
#include "library_use.h"

#include <camera.h>
#include <frame_stream.h>
#include <settings.h>

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gst/base/gstpushsrc.h>
#include <gst/video/video.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

GST_DEBUG_CATEGORY_STATIC(vivazuzoz_src_debug);
#define GST_CAT_DEFAULT vivazuzoz_src_debug

namespace {

using vivaclient::FrameClock;

// Frames waiting for create(); older ones are dropped beyond this.
constexpr size_t kQueueLimit = 3;
// The frame rate is measured from this many frames, or from what came in kRateWindow.
constexpr size_t kRateFrames = 13;
constexpr auto kRateWindow = std::chrono::seconds(1);
constexpr auto kWaitSlice = std::chrono::milliseconds(100);
// No frame for this long (the library reports a stall after 3 s) is a lost camera.
constexpr auto kFrameTimeout = std::chrono::seconds(5);

enum { PROP_0, PROP_DEVICE, PROP_PLANE, PROP_RECONNECT, PROP_SETTING_FIRST = 100 };

GType PlaneEnumType()
{
    static gsize type = 0;
    if (g_once_init_enter(&type)) {
        static const GEnumValue values[] = {
            {GST_VIVAZUZOZ_PLANE_IMAGE, "The camera's raw image samples", "image"},
            {GST_VIVAZUZOZ_PLANE_TEMPERATURE, "Temperatures: tenths of a degree + 32768", "temperature"},
            {0, nullptr, nullptr}};
        g_once_init_leave(&type, g_enum_register_static("GstVivazuzozPlane", values));
    }
    return type;
}

struct Queued {
    GstBuffer* buffer;
    FrameClock::time_point arrival;
};

// The state of one source, shared by the streaming thread, the library's
// read thread (the sink below) and the exception poll thread.
struct SourceState : public vivaclient::FrameSink {
    // Properties, guarded by the object lock.
    int device = vivaclient::CameraChoice::kAny;
    GstVivazuzozPlane plane = GST_VIVAZUZOZ_PLANE_IMAGE;
    bool reconnect = false;
    std::vector<std::string> settingValues = std::vector<std::string>(vivaclient::Settings().size());

    // Streaming thread (start, create, stop) only.
    std::unique_ptr<vivagst::LibraryUse> library;
    std::unique_ptr<vivaclient::Camera> camera;
    std::unique_ptr<vivaclient::FrameStream> stream;
    vivaclient::CameraInfo info;  // of the camera opened last
    int width = 0, height = 0;

    // Guarded by the object lock: the negotiated format, read by queries.
    GstCaps* caps = nullptr;
    GstClockTime period = GST_CLOCK_TIME_NONE;

    std::mutex mutex;
    std::condition_variable changed;
    // Guarded by `mutex`.
    std::deque<Queued> queue;
    std::vector<FrameClock::time_point> firstArrivals;  // for the frame rate
    bool flushing = false;
    bool lost = false;
    uint64_t dropped = 0;
    FrameClock::time_point lastArrival;  // of the newest frame, or when the frames started

    // Read thread only.
    GstBuffer* image = nullptr;
    GstMapInfo imageMap{};
    GstVivazuzozPlane streamPlane = GST_VIVAZUZOZ_PLANE_IMAGE;  // copied before the stream starts

    uint16_t* BeginFrame(int w, int h, uint64_t, FrameClock::time_point) override
    {
        image = gst_buffer_new_allocate(nullptr, static_cast<gsize>(w) * static_cast<gsize>(h) * 2, nullptr);
        if (!gst_buffer_map(image, &imageMap, GST_MAP_WRITE)) {
            gst_buffer_unref(image);
            image = nullptr;
            return nullptr;
        }
        return reinterpret_cast<uint16_t*>(imageMap.data);
    }

    void AbandonFrame() override
    {
        if (!image)
            return;
        gst_buffer_unmap(image, &imageMap);
        gst_buffer_unref(image);
        image = nullptr;
    }

    void CompleteFrame(const vivaclient::FrameRef& frame) override
    {
        gst_buffer_unmap(image, &imageMap);
        GstBuffer* temps = nullptr;
        if (frame.temps) {
            temps = gst_buffer_new_allocate(nullptr, frame.samples() * 2, nullptr);
            GstMapInfo map;
            gst_buffer_map(temps, &map, GST_MAP_WRITE);
            auto* out = reinterpret_cast<uint16_t*>(map.data);
            for (size_t i = 0; i < frame.samples(); ++i)
                out[i] = static_cast<uint16_t>(frame.temps[i] + GST_VIVAZUZOZ_TEMPERATURE_OFFSET);
            gst_buffer_unmap(temps, &map);
        }
        GstBuffer* main = image;
        GstBuffer* other = temps;
        if (streamPlane == GST_VIVAZUZOZ_PLANE_TEMPERATURE) {
            if (!temps) {  // checked at start: a stream with temperatures only
                gst_buffer_unref(image);
                image = nullptr;
                return;
            }
            std::swap(main, other);
        }
        image = nullptr;
        vivazuzoz_buffer_add_meta(main, frame.sequence, streamPlane, frame.width, frame.height, other);
        std::lock_guard<std::mutex> hold(mutex);
        if (firstArrivals.size() < kRateFrames)
            firstArrivals.push_back(frame.arrival);
        lastArrival = frame.arrival;
        queue.push_back({main, frame.arrival});
        while (queue.size() > kQueueLimit) {
            gst_buffer_unref(queue.front().buffer);
            queue.pop_front();
            ++dropped;
        }
        changed.notify_all();
    }

    void ClearQueue()
    {
        std::lock_guard<std::mutex> hold(mutex);
        for (Queued& q : queue)
            gst_buffer_unref(q.buffer);
        queue.clear();
    }
};

}  // namespace

struct VivazuzozSrc {
    GstPushSrc parent;
    SourceState* state;
};

struct VivazuzozSrcClass {
    GstPushSrcClass parent_class;
};

G_DEFINE_TYPE(VivazuzozSrc, vivazuzoz_src, GST_TYPE_PUSH_SRC)

namespace {

SourceState& State(gpointer self)
{
    return *reinterpret_cast<VivazuzozSrc*>(self)->state;
}

GstStaticPadTemplate kSrcTemplate = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("video/x-raw, format=(string)GRAY16_LE, width=(int)[1, 65535], height=(int)[1, 65535], "
                    "framerate=(fraction)[0/1, 1000/1]"));

// Stops the frames and closes the camera; safe to call on a closed one.
void CloseCamera(SourceState& s)
{
    if (s.camera)
        s.camera->OnException(nullptr);
    if (s.stream)
        s.stream->Stop();
    if (s.camera)
        s.camera->Close();
    s.ClearQueue();
}

// Starts the frames of the open camera, numbered from `firstSequence`.
bool StartFrames(GstBaseSrc* src, SourceState& s, uint64_t firstSequence)
{
    {
        std::lock_guard<std::mutex> hold(s.mutex);
        s.lost = false;
        s.firstArrivals.clear();
        s.lastArrival = FrameClock::now();
    }
    s.info = s.camera->info();
    s.camera->OnException([&s](int code) {
        if (code != OZL_USB_EXCEPTION_DEV_STATE)
            return;
        std::lock_guard<std::mutex> hold(s.mutex);
        s.lost = true;
        s.changed.notify_all();
    });
    GST_OBJECT_LOCK(src);
    s.streamPlane = s.plane;
    GST_OBJECT_UNLOCK(src);
    s.stream = std::make_unique<vivaclient::FrameStream>(s.camera->handle(), s);
    const vivaclient::Call started = s.stream->Start(firstSequence);
    if (!started.ok()) {
        GST_ELEMENT_ERROR(src, RESOURCE, READ, ("The camera's frames could not be started: %s.",
                                                vivaclient::DescribeFailure(started).c_str()),
                          ("Unplug the camera and plug it back in, then try again."));
        return false;
    }
    if (s.streamPlane == GST_VIVAZUZOZ_PLANE_TEMPERATURE && !s.stream->withTemps()) {
        GST_ELEMENT_ERROR(src, RESOURCE, SETTINGS,
                          ("Camera %d (%s) sends no temperatures: its stream carries the image only.",
                           s.camera->info().index, s.camera->info().name.c_str()),
                          ("Use plane=image with this camera."));
        return false;
    }
    return true;
}

// Writes the settings given as properties; false after an element error.
bool ApplySettings(GstBaseSrc* src, SourceState& s)
{
    GST_OBJECT_LOCK(src);
    const std::vector<std::string> values = s.settingValues;
    GST_OBJECT_UNLOCK(src);
    const auto& settings = vivaclient::Settings();
    for (size_t i = 0; i < settings.size(); ++i) {
        if (values[i].empty())
            continue;
        const vivaclient::Setting& setting = settings[i];
        std::string error;
        const auto value = vivaclient::ParseSettingValue(setting, values[i], error);
        if (!value) {
            GST_ELEMENT_ERROR(src, RESOURCE, SETTINGS, ("Property %s: %s.", setting.name, error.c_str()),
                              ("Give a value in the range %s.", vivaclient::SettingRange(setting).c_str()));
            return false;
        }
        const int result =
            s.camera->Command([&](unsigned long handle) { return vivaclient::WriteSetting(handle, setting, *value).result; });
        if (result != OZL_USB_SUCCESS) {
            const vivaclient::Call call{setting.setFunction ? setting.setFunction : setting.name, result};
            GST_ELEMENT_ERROR(src, RESOURCE, SETTINGS, ("%s.", vivaclient::DescribeRefusal(setting, values[i], call).c_str()),
                              ("%s", vivaclient::DescribeFailure(call).c_str()));
            return false;
        }
    }
    return true;
}

// The camera's frame rate as a fraction, from the arrivals of its first
// frames: the span of all of them, so that frames a busy machine delivers
// in bursts still give the camera's rate, and a whole number when it is
// within 8 % of one (0/1 when unknown).
void RateOf(const std::vector<FrameClock::time_point>& arrivals, int& num, int& den)
{
    num = 0, den = 1;
    if (arrivals.size() < 2)
        return;
    const double span = std::chrono::duration<double>(arrivals.back() - arrivals.front()).count();
    if (span <= 0)
        return;
    const double rate = (arrivals.size() - 1) / span;
    const double whole = std::round(rate);
    if (whole >= 1 && std::abs(rate - whole) <= 0.08 * whole) {
        num = static_cast<int>(whole);
        return;
    }
    gst_util_double_to_fraction(rate, &num, &den);
}

// The frame interval the driver states (VIDIOC_G_PARM on the capture node,
// the rate every V4L2 program shows) as a rate; false when it states none.
bool DriverRate(const std::string& node, int& num, int& den)
{
    if (node.empty())
        return false;
    const int fd = open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    v4l2_streamparm parm{};
    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    const bool stated = ioctl(fd, VIDIOC_G_PARM, &parm) == 0 && parm.parm.capture.timeperframe.numerator > 0 &&
                        parm.parm.capture.timeperframe.denominator > 0;
    close(fd);
    if (!stated)
        return false;
    num = static_cast<int>(parm.parm.capture.timeperframe.denominator);
    den = static_cast<int>(parm.parm.capture.timeperframe.numerator);
    return true;
}

// Waits for the first frames, then fixes the caps: size and rate.
bool LearnFormat(GstBaseSrc* src, SourceState& s)
{
    std::unique_lock<std::mutex> hold(s.mutex);
    const auto deadline = FrameClock::now() + kFrameTimeout;
    while (s.firstArrivals.empty() && !s.lost && !s.flushing && FrameClock::now() < deadline)
        s.changed.wait_for(hold, kWaitSlice);
    if (s.firstArrivals.empty() || s.queue.empty()) {
        hold.unlock();
        GST_ELEMENT_ERROR(src, RESOURCE, READ, ("Camera %d (%s) sends no frames.", s.camera->info().index,
                                                s.camera->info().name.c_str()),
                          ("Unplug the camera and plug it back in, then try again."));
        return false;
    }
    const auto window = s.firstArrivals.front() + kRateWindow;
    while (s.firstArrivals.size() < kRateFrames && !s.lost && !s.flushing && FrameClock::now() < window)
        s.changed.wait_for(hold, kWaitSlice);
    GstVivazuzozMeta* meta = gst_buffer_get_vivazuzoz_meta(s.queue.back().buffer);
    s.width = meta->width;
    s.height = meta->height;
    int num = 0, den = 1;
    const std::vector<FrameClock::time_point> arrivals = s.firstArrivals;
    hold.unlock();
    // The driver's word, else what the first frames show.
    if (!DriverRate(s.info.videoPath, num, den))
        RateOf(arrivals, num, den);
    const GstClockTime period = num > 0 ? gst_util_uint64_scale_int(GST_SECOND, den, num) : GST_CLOCK_TIME_NONE;
    GstCaps* caps = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "GRAY16_LE", "width", G_TYPE_INT,
                                        s.width, "height", G_TYPE_INT, s.height, "framerate", GST_TYPE_FRACTION, num,
                                        den, nullptr);
    GST_OBJECT_LOCK(src);
    gst_caps_replace(&s.caps, caps);
    s.period = period;
    GST_OBJECT_UNLOCK(src);
    gst_caps_unref(caps);
    GST_INFO_OBJECT(src, "camera %dx%d at %d/%d frames per second", s.width, s.height, num, den);
    return true;
}

gboolean Start(GstBaseSrc* src)
{
    SourceState& s = State(src);
    GST_OBJECT_LOCK(src);
    vivaclient::CameraChoice choice;
    choice.index = s.device;
    GST_OBJECT_UNLOCK(src);
    {
        std::lock_guard<std::mutex> hold(s.mutex);
        s.flushing = false;
        s.dropped = 0;
    }
    s.library = std::make_unique<vivagst::LibraryUse>();
    vivaclient::OpenFailure failure;
    s.camera = vivaclient::Camera::Open(choice, failure);
    if (!s.camera) {
        const bool found = failure.call.function == std::string("OZL_USB_SearchDev");
        const bool busy = failure.message.find("busy") != std::string::npos;
        const char* what = found ? "Plug the camera in (see 'vivazuzoz list'), or choose another with device=N."
                           : busy ? "Close the program that has the camera open, then try again."
                                  : "Follow the advice above, then try again.";
        if (found)
            GST_ELEMENT_ERROR(src, RESOURCE, NOT_FOUND, ("No camera to open: %s.", failure.message.c_str()), ("%s", what));
        else if (busy)
            GST_ELEMENT_ERROR(src, RESOURCE, BUSY, ("%s", failure.message.c_str()), ("%s", what));
        else
            GST_ELEMENT_ERROR(src, RESOURCE, OPEN_READ_WRITE, ("%s", failure.message.c_str()), ("%s", what));
        s.library.reset();
        return FALSE;
    }
    if (!ApplySettings(src, s) || !StartFrames(src, s, 1) || !LearnFormat(src, s)) {
        CloseCamera(s);
        s.stream.reset();
        s.camera.reset();
        s.library.reset();
        return FALSE;
    }
    return TRUE;
}

gboolean Stop(GstBaseSrc* src)
{
    SourceState& s = State(src);
    CloseCamera(s);
    s.stream.reset();
    s.camera.reset();
    s.library.reset();
    GST_OBJECT_LOCK(src);
    gst_caps_replace(&s.caps, nullptr);
    GST_OBJECT_UNLOCK(src);
    return TRUE;
}

GstCaps* GetCaps(GstBaseSrc* src, GstCaps* filter)
{
    SourceState& s = State(src);
    GST_OBJECT_LOCK(src);
    GstCaps* caps = s.caps ? gst_caps_ref(s.caps) : gst_pad_get_pad_template_caps(GST_BASE_SRC_PAD(src));
    GST_OBJECT_UNLOCK(src);
    if (filter) {
        GstCaps* both = gst_caps_intersect_full(filter, caps, GST_CAPS_INTERSECT_FIRST);
        gst_caps_unref(caps);
        caps = both;
    }
    return caps;
}

gboolean Query(GstBaseSrc* src, GstQuery* query)
{
    SourceState& s = State(src);
    if (GST_QUERY_TYPE(query) == GST_QUERY_LATENCY) {
        GST_OBJECT_LOCK(src);
        const bool known = s.caps != nullptr;
        const GstClockTime measured = s.period;
        GST_OBJECT_UNLOCK(src);
        if (!known)
            return FALSE;
        // A frame is complete one frame period after its exposure began;
        // the queue holds up to kQueueLimit more.
        const GstClockTime period = GST_CLOCK_TIME_IS_VALID(measured) ? measured : GST_SECOND / 25;
        gst_query_set_latency(query, TRUE, period, period * (kQueueLimit + 1));
        return TRUE;
    }
    return GST_BASE_SRC_CLASS(vivazuzoz_src_parent_class)->query(src, query);
}

gboolean Unlock(GstBaseSrc* src)
{
    SourceState& s = State(src);
    std::lock_guard<std::mutex> hold(s.mutex);
    s.flushing = true;
    s.changed.notify_all();
    return TRUE;
}

gboolean UnlockStop(GstBaseSrc* src)
{
    SourceState& s = State(src);
    std::lock_guard<std::mutex> hold(s.mutex);
    s.flushing = false;
    return TRUE;
}

// The camera is gone: wait for it to come back and go on, keeping the
// sequence numbers; false when the wait was ended by a flush.
GstFlowReturn Reconnect(GstBaseSrc* src, SourceState& s)
{
    const vivaclient::CameraInfo was = s.info;
    // After a wait that a flush ended, neither is left.
    const uint64_t next = s.stream ? s.stream->nextSequence() : 1;
    CloseCamera(s);
    s.stream.reset();
    s.camera.reset();
    GST_ELEMENT_WARNING(src, RESOURCE, READ, ("Camera %d (%s) was lost; waiting for it to come back.", was.index,
                                              was.name.c_str()),
                        ("reconnect=true: the stream goes on when the camera is plugged back in."));
    s.camera = vivaclient::Reopen(was, [&s] {
        std::lock_guard<std::mutex> hold(s.mutex);
        return !s.flushing;
    });
    if (!s.camera)
        return GST_FLOW_FLUSHING;
    const int width = s.width, height = s.height;
    if (!ApplySettings(src, s) || !StartFrames(src, s, next) || !LearnFormat(src, s))
        return GST_FLOW_ERROR;
    if (width != s.width || height != s.height) {
        GST_OBJECT_LOCK(src);
        GstCaps* caps = gst_caps_ref(s.caps);
        GST_OBJECT_UNLOCK(src);
        gst_base_src_set_caps(src, caps);
        gst_caps_unref(caps);
    }
    return GST_FLOW_OK;
}

// Running time of a frame that arrived at `arrival` (CLOCK_MONOTONIC) on the
// element's clock, which need not be the monotonic one; NONE for a frame
// that came before the pipeline started playing.
GstClockTime RunningTime(GstElement* element, FrameClock::time_point arrival)
{
    GstClock* clock = gst_element_get_clock(element);
    if (!clock)
        return GST_CLOCK_TIME_NONE;
    const GstClockTime now = gst_clock_get_time(clock);
    gst_object_unref(clock);
    const auto age = std::chrono::duration_cast<std::chrono::nanoseconds>(FrameClock::now() - arrival).count();
    const GstClockTime base = gst_element_get_base_time(element);
    const GstClockTime at = now > static_cast<GstClockTime>(age) ? now - age : 0;
    return at >= base ? at - base : GST_CLOCK_TIME_NONE;
}

GstFlowReturn Create(GstPushSrc* push, GstBuffer** out)
{
    auto* src = GST_BASE_SRC(push);
    SourceState& s = State(push);
    for (;;) {
        std::unique_lock<std::mutex> hold(s.mutex);
        if (s.flushing)
            return GST_FLOW_FLUSHING;
        if (!s.queue.empty()) {
            const Queued q = s.queue.front();
            s.queue.pop_front();
            hold.unlock();
            const GstClockTime pts = RunningTime(GST_ELEMENT(push), q.arrival);
            if (!GST_CLOCK_TIME_IS_VALID(pts)) {
                gst_buffer_unref(q.buffer);
                continue;
            }
            GST_BUFFER_PTS(q.buffer) = pts;
            GST_BUFFER_DTS(q.buffer) = GST_BUFFER_PTS(q.buffer);
            GST_OBJECT_LOCK(src);
            GST_BUFFER_DURATION(q.buffer) = s.period;
            GST_OBJECT_UNLOCK(src);
            GstVivazuzozMeta* meta = gst_buffer_get_vivazuzoz_meta(q.buffer);
            GST_BUFFER_OFFSET(q.buffer) = meta ? meta->sequence : GST_BUFFER_OFFSET_NONE;
            *out = q.buffer;
            return GST_FLOW_OK;
        }
        const bool lost = s.lost || !s.camera || FrameClock::now() - s.lastArrival > kFrameTimeout;
        if (!lost) {
            s.changed.wait_for(hold, kWaitSlice);
            continue;
        }
        hold.unlock();
        GST_OBJECT_LOCK(src);
        const bool reconnect = s.reconnect;
        GST_OBJECT_UNLOCK(src);
        if (reconnect) {
            const GstFlowReturn back = Reconnect(src, s);
            if (back != GST_FLOW_OK)
                return back;
            continue;
        }
        const vivaclient::CameraInfo& info = s.info;
        GST_ELEMENT_ERROR(src, RESOURCE, READ, ("Camera %d (%s) was unplugged or stopped sending frames.", info.index,
                                                info.name.c_str()),
                          ("Plug it back in and start again; with reconnect=true the source waits for it instead."));
        return GST_FLOW_ERROR;
    }
}

void SetProperty(GObject* object, guint id, const GValue* value, GParamSpec* param)
{
    SourceState& s = State(object);
    GST_OBJECT_LOCK(object);
    if (id == PROP_DEVICE)
        s.device = g_value_get_int(value);
    else if (id == PROP_PLANE)
        s.plane = static_cast<GstVivazuzozPlane>(g_value_get_enum(value));
    else if (id == PROP_RECONNECT)
        s.reconnect = g_value_get_boolean(value);
    else if (id >= PROP_SETTING_FIRST && id - PROP_SETTING_FIRST < s.settingValues.size()) {
        const char* text = g_value_get_string(value);
        s.settingValues[id - PROP_SETTING_FIRST] = text ? text : "";
    } else
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, param);
    GST_OBJECT_UNLOCK(object);
}

void GetProperty(GObject* object, guint id, GValue* value, GParamSpec* param)
{
    SourceState& s = State(object);
    GST_OBJECT_LOCK(object);
    if (id == PROP_DEVICE)
        g_value_set_int(value, s.device);
    else if (id == PROP_PLANE)
        g_value_set_enum(value, s.plane);
    else if (id == PROP_RECONNECT)
        g_value_set_boolean(value, s.reconnect);
    else if (id >= PROP_SETTING_FIRST && id - PROP_SETTING_FIRST < s.settingValues.size())
        g_value_set_string(value, s.settingValues[id - PROP_SETTING_FIRST].c_str());
    else
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, param);
    GST_OBJECT_UNLOCK(object);
}

void Finalize(GObject* object)
{
    auto* self = reinterpret_cast<VivazuzozSrc*>(object);
    gst_caps_replace(&self->state->caps, nullptr);
    delete self->state;
    G_OBJECT_CLASS(vivazuzoz_src_parent_class)->finalize(object);
}

}  // namespace

static void vivazuzoz_src_init(VivazuzozSrc* self)
{
    self->state = new SourceState;
    gst_base_src_set_live(GST_BASE_SRC(self), TRUE);
    gst_base_src_set_format(GST_BASE_SRC(self), GST_FORMAT_TIME);
}

static void vivazuzoz_src_class_init(VivazuzozSrcClass* klass)
{
    GST_DEBUG_CATEGORY_INIT(vivazuzoz_src_debug, "vivazuzozsrc", 0, "USB thermal camera source");
    auto* object = G_OBJECT_CLASS(klass);
    auto* element = GST_ELEMENT_CLASS(klass);
    auto* base = GST_BASE_SRC_CLASS(klass);
    object->set_property = SetProperty;
    object->get_property = GetProperty;
    object->finalize = Finalize;
    const auto flags = static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS | GST_PARAM_MUTABLE_READY);
    g_object_class_install_property(
        object, PROP_DEVICE,
        g_param_spec_int("device", "Camera", "The camera's index in 'vivazuzoz list' (-1: the first camera with a capture node and a command port)",
                         -1, G_MAXINT, vivaclient::CameraChoice::kAny, flags));
    g_object_class_install_property(
        object, PROP_PLANE,
        g_param_spec_enum("plane", "Plane", "The plane of each frame the buffers hold (the other one travels in the buffer's GstVivazuzozMeta)",
                          PlaneEnumType(), GST_VIVAZUZOZ_PLANE_IMAGE, flags));
    g_object_class_install_property(
        object, PROP_RECONNECT,
        g_param_spec_boolean("reconnect", "Reconnect",
                             "When the camera is unplugged, wait for it to come back and go on (else: an error)", FALSE,
                             flags));
    // The camera's writable settings, by the tool's names ("" leaves a
    // setting as the camera has it).
    const auto& settings = vivaclient::Settings();
    for (size_t i = 0; i < settings.size(); ++i) {
        if (settings[i].readOnly())
            continue;
        const std::string blurb = std::string(settings[i].description) + " (" +
                                  vivaclient::SettingRange(settings[i]) + "; empty: as the camera has it)";
        g_object_class_install_property(
            object, static_cast<guint>(PROP_SETTING_FIRST + i),
            g_param_spec_string(settings[i].name, settings[i].name, g_intern_string(blurb.c_str()), "",
                                static_cast<GParamFlags>(G_PARAM_READWRITE | GST_PARAM_MUTABLE_READY)));
    }
    gst_element_class_set_static_metadata(element, "USB thermal camera source", "Source/Video",
                                          "Frames of a USB thermal camera as 16-bit grey (image or temperatures)",
                                          "libVIVAZUZOZ maintainers");
    gst_element_class_add_static_pad_template(element, &kSrcTemplate);
    base->start = Start;
    base->stop = Stop;
    base->get_caps = GetCaps;
    base->query = Query;
    base->unlock = Unlock;
    base->unlock_stop = UnlockStop;
    GST_PUSH_SRC_CLASS(klass)->create = Create;
}
