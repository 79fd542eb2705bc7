// vivazuzozsrc.cpp - a camera as a live GStreamer source.
//
// The camera runs in a CameraSession of the client layer: it opens the
// camera, joins the frames, and with reconnect=true waits for a lost camera
// to come back and goes on with the same numbering. The library's read thread
// fills buffers and queues them; create() hands them on with timestamps on
// the pipeline clock. The session's events become element messages on the
// bus ("vivazuzoz-camera-event"), a loss also a warning; a loss without
// reconnect is an element error. While the camera is away, keep-alive=true
// repeats the last frame, marked in its meta, so that players and recorders
// downstream do not time out.
//
// Example pipelines:
//   gst-launch-1.0 vivazuzozsrc ! thermalcolorize ! videoconvert ! autovideosink
//   gst-launch-1.0 vivazuzozsrc reconnect=true keep-alive=true ! thermalcolorize ! x264enc ! ...
#include "driver_rate.h"
#include "elements.h"
#include "library_use.h"

#include <vivaclient/camera.h>
#include <vivaclient/camera_session.h>
#include <vivaclient/frame_stream.h>
#include <vivaclient/settings.h>

#include <gst/base/gstpushsrc.h>
#include <gst/video/video.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

GST_DEBUG_CATEGORY_STATIC(vivazuzoz_src_debug);
#define GST_CAT_DEFAULT vivazuzoz_src_debug

namespace {

using vivaclient::FrameClock;
using vivaclient::SessionEvent;

// Frames waiting for create(); older ones are dropped beyond this.
constexpr size_t kQueueLimit = 3;
// The frame rate is measured from this many frames, or from what came in kRateWindow.
constexpr size_t kRateFrames = 13;
constexpr auto kRateWindow = std::chrono::seconds(1);
constexpr auto kWaitSlice = std::chrono::milliseconds(100);
// keep-alive: how often the last frame is repeated while the camera is away.
constexpr auto kRepeatEvery = std::chrono::milliseconds(500);
// The name of the bus messages that carry the session's events.
constexpr const char* kEventMessage = "vivazuzoz-camera-event";

enum {
    PROP_0,
    PROP_DEVICE,
    PROP_PLANE,
    PROP_RECONNECT,
    PROP_KEEP_ALIVE,
    PROP_SHUTTER_EVERY,
    PROP_SHUTTER_ON_DRIFT,
    PROP_SHUTTER_SETTLE,
    PROP_SETTING_FIRST = 100
};

GType PlaneEnumType()
{
    static gsize type = 0;
    if (g_once_init_enter(&type)) {
        static const GEnumValue values[] = {{GST_VIVAZUZOZ_PLANE_IMAGE, "The camera's raw image samples", "image"},
                                            {GST_VIVAZUZOZ_PLANE_TEMPERATURE,
                                             "Temperatures: tenths of a degree + 32768", "temperature"},
                                            {0, nullptr, nullptr}};
        g_once_init_leave(&type, g_enum_register_static("GstVivazuzozPlane", values));
    }
    return type;
}

struct Queued {
    GstBuffer* buffer;
    FrameClock::time_point arrival;
};

// A setting given as a property, parsed.
struct SettingWrite {
    const vivaclient::Setting* setting;
    std::string text;
    double value;
};

// The state of one source, shared by the streaming thread, the library's
// read thread (the sink below) and the session's supervisor thread.
struct SourceState : public vivaclient::FrameSink {
    // Properties, guarded by the object lock.
    int device = vivaclient::CameraChoice::kAny;
    GstVivazuzozPlane plane = GST_VIVAZUZOZ_PLANE_IMAGE;
    bool reconnect = false;
    bool keepAlive = false;
    double shutterEvery = 0;    // seconds; 0: never
    double shutterOnDrift = 0;  // degrees; 0: never
    double shutterSettle = 1;   // seconds
    std::vector<std::string> settingValues = std::vector<std::string>(vivaclient::Settings().size());

    // Streaming thread (start, create, stop) only.
    std::unique_ptr<vivagst::LibraryUse> library;
    std::unique_ptr<vivaclient::CameraSession> session;
    // Parsed at start, before the session runs; read by its prepare, on the
    // supervisor thread after a reopen.
    std::vector<SettingWrite> writes;
    bool repeatLast = false;    // keep-alive of this run
    int startedDevice = 0;      // the device property when it started
    std::string identity;       // the camera's USB port, once known
    int width = 0, height = 0;  // the frame size of the caps
    GstBuffer* last = nullptr;  // the newest buffer handed on, for keep-alive
    FrameClock::time_point lastRepeat;
    GstClockTime lastPts = GST_CLOCK_TIME_NONE;

    // Guarded by the object lock: the negotiated format, read by queries.
    GstCaps* caps = nullptr;
    GstClockTime period = GST_CLOCK_TIME_NONE;

    std::mutex mutex;
    std::condition_variable changed;
    // Guarded by `mutex`.
    std::deque<Queued> queue;
    std::vector<FrameClock::time_point> firstArrivals;  // for the frame rate
    bool flushing = false;
    bool away = false;     // lost or stalled; the session waits for the camera
    bool ended = false;    // the session ended by itself
    SessionEvent trouble;  // the last Lost, Stalled or Error event
    std::string refusal;   // a setting the camera refused (the detail of the error)
    uint64_t dropped = 0;

    // Read thread only.
    GstBuffer* image = nullptr;
    GstMapInfo imageMap{};
    GstVivazuzozPlane streamPlane = GST_VIVAZUZOZ_PLANE_IMAGE;  // copied before the session starts

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
        GstVivazuzozMeta* meta = vivazuzoz_buffer_add_meta(main, frame.sequence, streamPlane, frame.width, frame.height,
                                                           other);
        meta->shutter = frame.shutter;
        meta->settling = frame.settling;
        std::lock_guard<std::mutex> hold(mutex);
        if (firstArrivals.size() < kRateFrames)
            firstArrivals.push_back(frame.arrival);
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

// The settings given as properties, parsed; false after an element error.
bool ParseSettings(GstBaseSrc* src, SourceState& s)
{
    GST_OBJECT_LOCK(src);
    const std::vector<std::string> values = s.settingValues;
    GST_OBJECT_UNLOCK(src);
    const auto& settings = vivaclient::Settings();
    s.writes.clear();
    for (size_t i = 0; i < settings.size(); ++i) {
        if (values[i].empty())
            continue;
        std::string error;
        const auto value = vivaclient::ParseSettingValue(settings[i], values[i], error);
        if (!value) {
            GST_ELEMENT_ERROR(src, RESOURCE, SETTINGS, ("Property %s: %s.", settings[i].name, error.c_str()),
                              ("Give a value in the range %s.", vivaclient::SettingRange(settings[i]).c_str()));
            return false;
        }
        s.writes.push_back({&settings[i], values[i], *value});
    }
    return true;
}

// The session's prepare: writes the settings to the camera just opened (at
// start and after each reopen); "" or why the camera refused one.
std::string WriteSettings(SourceState& s, vivaclient::Camera& camera)
{
    for (const SettingWrite& w : s.writes) {
        const int result = camera.Command(
            [&](unsigned long handle) { return vivaclient::WriteSetting(handle, *w.setting, w.value).result; });
        if (result == OZL_USB_SUCCESS)
            continue;
        const vivaclient::Call call{w.setting->setFunction ? w.setting->setFunction : w.setting->name, result};
        std::lock_guard<std::mutex> hold(s.mutex);
        s.refusal = vivaclient::DescribeFailure(call);
        return vivaclient::DescribeRefusal(*w.setting, w.text, call);
    }
    return "";
}

// A session's event as the bus carries it: an element message, and a
// warning when the camera is gone and the source waits for it.
void SayEvent(GstElement* src, const SessionEvent& e, bool reconnect)
{
    GstStructure* s = gst_structure_new(kEventMessage, "event", G_TYPE_STRING, vivaclient::EventName(e.kind), "message",
                                        G_TYPE_STRING, e.message.c_str(), "gap-seconds", G_TYPE_DOUBLE, e.gapSeconds,
                                        "sequence", G_TYPE_UINT64, static_cast<guint64>(e.sequence), "usb-port",
                                        G_TYPE_STRING, e.camera.identity().c_str(), nullptr);
    gst_element_post_message(src, gst_message_new_element(GST_OBJECT(src), s));
    const bool gone = e.kind == SessionEvent::Kind::Lost || e.kind == SessionEvent::Kind::Stalled;
    if (gone && reconnect)
        GST_ELEMENT_WARNING(src, RESOURCE, READ,
                            ("Camera %d (%s): %s.", e.camera.index, e.camera.name.c_str(), e.message.c_str()),
                            ("reconnect=true: the stream goes on when the camera is back."));
}

// Supervisor thread (the first Opened: the starting thread).
void OnSessionEvent(GstElement* src, SourceState& s, const SessionEvent& e, bool reconnect)
{
    GST_INFO_OBJECT(src, "%s: %s", vivaclient::EventName(e.kind), e.message.c_str());
    SayEvent(src, e, reconnect);
    std::lock_guard<std::mutex> hold(s.mutex);
    switch (e.kind) {
    case SessionEvent::Kind::Lost:
    case SessionEvent::Kind::Stalled:
    case SessionEvent::Kind::Error:
        s.trouble = e;
        s.away = true;
        break;
    case SessionEvent::Kind::Opened:  // a camera waited for at start has no Back
    case SessionEvent::Kind::Back:
        s.away = false;
        break;
    case SessionEvent::Kind::Closed:
        s.ended = s.trouble.kind != SessionEvent::Kind::Opened;  // else: closed by stop()
        break;
    case SessionEvent::Kind::ShutterStart:  // said on the bus; the frames carry the flags
    case SessionEvent::Kind::ShutterEnd:
        break;
    }
    s.changed.notify_all();
}

// The element error of a first open that failed.
void OpenError(GstBaseSrc* src, SourceState& s, const vivaclient::OpenFailure& failure)
{
    std::string refusal;
    {
        std::lock_guard<std::mutex> hold(s.mutex);
        refusal = s.refusal;
    }
    const std::string core = vivagst::LibraryUse::TakeCoreLines();
    const char* message = failure.message.c_str();
    if (!refusal.empty())
        GST_ELEMENT_ERROR(src, RESOURCE, SETTINGS, ("%s.", message), ("%s", refusal.c_str()));
    else if (failure.call.function == std::string("OZL_USB_SearchDev"))
        GST_ELEMENT_ERROR(src, RESOURCE, NOT_FOUND, ("No camera to open: %s.", message),
                          ("Plug the camera in (see 'vivazuzoz list'), or choose another with device=N."));
    else if (failure.busy)
        GST_ELEMENT_ERROR(src, RESOURCE, BUSY, ("%s", message),
                          ("Close the program or stop the stream that has the camera, then try again."));
    else if (failure.coreLinesExplain && !core.empty())
        GST_ELEMENT_ERROR(src, RESOURCE, OPEN_READ_WRITE, ("%s", message), ("The library reported:\n%s", core.c_str()));
    else
        GST_ELEMENT_ERROR(src, RESOURCE, OPEN_READ_WRITE, ("%s", message),
                          ("Unplug the camera and plug it back in, then try again."));
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

// Fixes the caps to `caps` (and the frame size the source expects).
void SetFormat(GstBaseSrc* src, SourceState& s, GstCaps* caps, GstClockTime period)
{
    const GstStructure* format = gst_caps_get_structure(caps, 0);
    gst_structure_get_int(format, "width", &s.width);
    gst_structure_get_int(format, "height", &s.height);
    GST_OBJECT_LOCK(src);
    gst_caps_replace(&s.caps, caps);
    s.period = period;
    GST_OBJECT_UNLOCK(src);
}

// Waits for the first frames, then fixes the caps: size and rate.
bool LearnFormat(GstBaseSrc* src, SourceState& s)
{
    const vivaclient::CameraInfo info = s.session->info();
    std::unique_lock<std::mutex> hold(s.mutex);
    const auto deadline = FrameClock::now() + vivaclient::kStallLimit;
    while (s.firstArrivals.empty() && !s.away && !s.ended && !s.flushing && FrameClock::now() < deadline)
        s.changed.wait_for(hold, kWaitSlice);
    if (s.firstArrivals.empty() || s.queue.empty()) {
        hold.unlock();
        GST_ELEMENT_ERROR(src, RESOURCE, READ, ("Camera %d (%s) sends no frames.", info.index, info.name.c_str()),
                          ("Unplug the camera and plug it back in, then try again."));
        return false;
    }
    const auto window = s.firstArrivals.front() + kRateWindow;
    while (s.firstArrivals.size() < kRateFrames && !s.away && !s.ended && !s.flushing && FrameClock::now() < window)
        s.changed.wait_for(hold, kWaitSlice);
    GstVivazuzozMeta* meta = gst_buffer_get_vivazuzoz_meta(s.queue.back().buffer);
    const int width = meta->width, height = meta->height;
    int num = 0, den = 1;
    const std::vector<FrameClock::time_point> arrivals = s.firstArrivals;
    hold.unlock();
    // The driver's word, else what the first frames show.
    if (!vivagst::DriverRate(info.videoPath, num, den))
        RateOf(arrivals, num, den);
    const GstClockTime period = num > 0 ? gst_util_uint64_scale_int(GST_SECOND, den, num) : GST_CLOCK_TIME_NONE;
    GstCaps* caps = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "GRAY16_LE", "width", G_TYPE_INT, width,
                                        "height", G_TYPE_INT, height, "framerate", GST_TYPE_FRACTION, num, den,
                                        nullptr);
    GST_OBJECT_LOCK(src);
    gst_caps_replace(&s.caps, caps);
    s.period = period;
    GST_OBJECT_UNLOCK(src);
    gst_caps_unref(caps);
    GST_INFO_OBJECT(src, "camera %dx%d at %d/%d frames per second", width, height, num, den);
    return true;
}

// keep-alive: what a source of the process last saw of each device's camera
// (by the device property), for a source started while that camera is away.
struct Remembered {
    std::string identity;  // the camera's USB port
    GstCaps* caps = nullptr;
    GstClockTime period = GST_CLOCK_TIME_NONE;
    GstBuffer* last = nullptr;  // the newest frame
};

std::mutex g_rememberedMutex;
std::map<int, Remembered> g_remembered;  // guarded by g_rememberedMutex; lives to the end of the process

void Forget(Remembered& memory)
{
    gst_caps_replace(&memory.caps, nullptr);
    gst_buffer_replace(&memory.last, nullptr);
}

// Keeps references to what `seen` names.
void Remember(int device, const Remembered& seen)
{
    std::lock_guard<std::mutex> hold(g_rememberedMutex);
    Remembered& memory = g_remembered[device];
    memory.identity = seen.identity;
    gst_caps_replace(&memory.caps, seen.caps);
    memory.period = seen.period;
    gst_buffer_replace(&memory.last, seen.last);
}

// What was remembered of `device` (references the caller gives back with Forget).
bool Recall(int device, Remembered& memory)
{
    std::lock_guard<std::mutex> hold(g_rememberedMutex);
    const auto it = g_remembered.find(device);
    if (it == g_remembered.end())
        return false;
    memory.identity = it->second.identity;
    gst_caps_replace(&memory.caps, it->second.caps);
    memory.period = it->second.period;
    gst_buffer_replace(&memory.last, it->second.last);
    return true;
}

// Ends the session (no frame and no event after this) and forgets its frames.
void EndSession(SourceState& s)
{
    if (s.session)
        s.session->Close();
    s.session.reset();
    s.ClearQueue();
    if (s.last)
        gst_buffer_unref(s.last);
    s.last = nullptr;
}

// Makes the session and starts it; false with `failure` when it did not start.
bool StartSession(GstBaseSrc* src, SourceState& s, vivaclient::SessionOptions options, vivaclient::OpenFailure& failure)
{
    const bool reconnect = options.reconnect;
    options.prepare = [&s](vivaclient::Camera& camera, bool) { return WriteSettings(s, camera); };
    s.session = std::make_unique<vivaclient::CameraSession>(std::move(options), s);
    GstElement* element = GST_ELEMENT(src);
    s.session->OnEvent([element, &s, reconnect](const SessionEvent& e) { OnSessionEvent(element, s, e, reconnect); });
    return s.session->Start(failure);
}

// keep-alive: the camera of this source's device is away and was seen by an
// earlier source of the process. Waits for it by its USB port and meanwhile
// repeats the frame seen last, in the format it had.
bool StartAway(GstBaseSrc* src, SourceState& s, vivaclient::SessionOptions options, const Remembered& memory)
{
    options.choice = vivaclient::CameraChoice{};
    options.choice.identity = memory.identity;
    options.waitForCamera = true;
    s.session.reset();
    vivaclient::OpenFailure failure;
    if (!StartSession(src, s, std::move(options), failure))
        return false;
    SetFormat(src, s, memory.caps, memory.period);
    s.identity = memory.identity;
    gst_buffer_replace(&s.last, memory.last);
    s.lastRepeat = FrameClock::time_point{};
    std::lock_guard<std::mutex> hold(s.mutex);
    s.away = true;
    GST_INFO_OBJECT(src, "the camera at %s is away: its last frame is repeated until it is back",
                    memory.identity.c_str());
    return true;
}

gboolean Start(GstBaseSrc* src)
{
    SourceState& s = State(src);
    vivaclient::SessionOptions options;
    GST_OBJECT_LOCK(src);
    s.startedDevice = s.device;
    options.choice.index = s.device;
    options.reconnect = s.reconnect;
    options.shutter.every = std::chrono::milliseconds(std::llround(s.shutterEvery * 1000));
    options.shutter.onDrift = s.shutterOnDrift;
    options.shutter.settleTime = std::chrono::milliseconds(std::llround(s.shutterSettle * 1000));
    s.repeatLast = s.keepAlive && s.reconnect;
    s.streamPlane = s.plane;
    GST_OBJECT_UNLOCK(src);
    if (!ParseSettings(src, s))
        return FALSE;
    {
        std::lock_guard<std::mutex> hold(s.mutex);
        s.flushing = s.away = s.ended = false;
        s.trouble = SessionEvent{};
        s.refusal.clear();
        s.dropped = 0;
        s.firstArrivals.clear();
    }
    s.lastPts = GST_CLOCK_TIME_NONE;
    s.identity.clear();
    s.library = std::make_unique<vivagst::LibraryUse>();
    vivagst::LibraryUse::TakeCoreLines();  // what was said before this open
    vivaclient::OpenFailure failure;
    bool ok = StartSession(src, s, options, failure);
    Remembered memory;
    if (!ok && s.repeatLast && failure.call.function == std::string("OZL_USB_SearchDev") &&
        Recall(s.startedDevice, memory)) {
        ok = StartAway(src, s, options, memory);
        Forget(memory);
        if (ok)
            return TRUE;
    }
    if (!ok) {
        OpenError(src, s, failure);
    } else if (s.streamPlane == GST_VIVAZUZOZ_PLANE_TEMPERATURE && !s.session->withTemps()) {
        const vivaclient::CameraInfo info = s.session->info();
        GST_ELEMENT_ERROR(src, RESOURCE, SETTINGS,
                          ("Camera %d (%s) sends no temperatures: its stream carries the image only.", info.index,
                           info.name.c_str()),
                          ("Use plane=image with this camera."));
        ok = false;
    } else {
        ok = LearnFormat(src, s);
        s.identity = s.session->info().identity();
    }
    if (!ok) {
        EndSession(s);
        s.library.reset();
        return FALSE;
    }
    return TRUE;
}

gboolean Stop(GstBaseSrc* src)
{
    SourceState& s = State(src);
    GST_OBJECT_LOCK(src);
    if (s.repeatLast && s.last && s.caps && !s.identity.empty())
        Remember(s.startedDevice, {s.identity, s.caps, s.period, s.last});
    GST_OBJECT_UNLOCK(src);
    EndSession(s);
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
        // A buffer's time is when its frame arrived complete (Stamp), so it
        // is ready to go at its own time: no latency at least. The queue may
        // hold up to kQueueLimit frames when downstream falls behind. A
        // minimum of a frame period here would hold every frame that long in
        // the sinks that sync to the clock (the RTSP server's among them).
        const GstClockTime period = GST_CLOCK_TIME_IS_VALID(measured) ? measured : GST_SECOND / 25;
        gst_query_set_latency(query, TRUE, 0, period * kQueueLimit);
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

// Stamps `buffer` for `arrival`, never before the buffer handed on last;
// false (and the buffer dropped) for a frame from before the pipeline played.
bool Stamp(GstBaseSrc* src, SourceState& s, GstBuffer* buffer, FrameClock::time_point arrival, GstClockTime duration)
{
    GstClockTime pts = RunningTime(GST_ELEMENT(src), arrival);
    if (!GST_CLOCK_TIME_IS_VALID(pts)) {
        gst_buffer_unref(buffer);
        return false;
    }
    if (GST_CLOCK_TIME_IS_VALID(s.lastPts) && pts <= s.lastPts)
        pts = s.lastPts + 1;
    s.lastPts = pts;
    GST_BUFFER_PTS(buffer) = pts;
    GST_BUFFER_DTS(buffer) = pts;
    GST_BUFFER_DURATION(buffer) = duration;
    GstVivazuzozMeta* meta = gst_buffer_get_vivazuzoz_meta(buffer);
    GST_BUFFER_OFFSET(buffer) = meta ? meta->sequence : GST_BUFFER_OFFSET_NONE;
    return true;
}

// A camera waited for at start may come back with another frame size than
// the one remembered: the caps follow it.
void FollowSize(GstBaseSrc* src, SourceState& s, GstBuffer* buffer)
{
    const GstVivazuzozMeta* meta = gst_buffer_get_vivazuzoz_meta(buffer);
    if (!meta || (meta->width == s.width && meta->height == s.height))
        return;
    GST_OBJECT_LOCK(src);
    GstCaps* caps = gst_caps_copy(s.caps);
    const GstClockTime period = s.period;
    GST_OBJECT_UNLOCK(src);
    gst_caps_set_simple(caps, "width", G_TYPE_INT, meta->width, "height", G_TYPE_INT, meta->height, nullptr);
    SetFormat(src, s, caps, period);
    gst_base_src_set_caps(src, caps);
    gst_caps_unref(caps);
    gst_buffer_replace(&s.last, nullptr);  // of the old size
}

// keep-alive: the last frame again, marked as sent while the camera is away.
GstBuffer* Repeat(SourceState& s)
{
    GstBuffer* copy = gst_buffer_copy(s.last);
    if (GstVivazuzozMeta* meta = gst_buffer_get_vivazuzoz_meta(copy))
        meta->camera_lost = TRUE;
    s.lastRepeat = FrameClock::now();
    return copy;
}

// The session ended by itself: the element error that says why.
void EndedError(GstBaseSrc* src, const SessionEvent& why)
{
    const vivaclient::CameraInfo& info = why.camera;
    if (why.kind == SessionEvent::Kind::Error)
        GST_ELEMENT_ERROR(src, RESOURCE, READ,
                          ("Camera %d (%s) cannot go on: %s.", info.index, info.name.c_str(), why.message.c_str()),
                          ("Check the camera, then start again."));
    else
        GST_ELEMENT_ERROR(src, RESOURCE, READ,
                          ("Camera %d (%s) was unplugged or stopped sending frames.", info.index, info.name.c_str()),
                          ("%s. Plug it back in and start again; with reconnect=true the source waits for it instead.",
                           why.message.c_str()));
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
            GST_OBJECT_LOCK(src);
            const GstClockTime period = s.period;
            GST_OBJECT_UNLOCK(src);
            if (!Stamp(src, s, q.buffer, q.arrival, period))
                continue;
            FollowSize(src, s, q.buffer);
            if (s.repeatLast) {
                gst_buffer_replace(&s.last, q.buffer);
                s.lastRepeat = FrameClock::now();
            }
            *out = q.buffer;
            return GST_FLOW_OK;
        }
        if (s.ended) {
            const SessionEvent why = s.trouble;
            hold.unlock();
            EndedError(src, why);
            return GST_FLOW_ERROR;
        }
        if (s.away && s.last && FrameClock::now() - s.lastRepeat >= kRepeatEvery) {
            hold.unlock();
            GstBuffer* repeat = Repeat(s);
            if (!Stamp(src, s, repeat, FrameClock::now(), GST_CLOCK_TIME_NONE))
                continue;
            *out = repeat;
            return GST_FLOW_OK;
        }
        s.changed.wait_for(hold, kWaitSlice);
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
    else if (id == PROP_KEEP_ALIVE)
        s.keepAlive = g_value_get_boolean(value);
    else if (id == PROP_SHUTTER_EVERY)
        s.shutterEvery = g_value_get_double(value);
    else if (id == PROP_SHUTTER_ON_DRIFT)
        s.shutterOnDrift = g_value_get_double(value);
    else if (id == PROP_SHUTTER_SETTLE)
        s.shutterSettle = g_value_get_double(value);
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
    else if (id == PROP_KEEP_ALIVE)
        g_value_set_boolean(value, s.keepAlive);
    else if (id == PROP_SHUTTER_EVERY)
        g_value_set_double(value, s.shutterEvery);
    else if (id == PROP_SHUTTER_ON_DRIFT)
        g_value_set_double(value, s.shutterOnDrift);
    else if (id == PROP_SHUTTER_SETTLE)
        g_value_set_double(value, s.shutterSettle);
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
    if (self->state->last)
        gst_buffer_unref(self->state->last);
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
        g_param_spec_int(
            "device", "Camera",
            "The camera's index in 'vivazuzoz list' (-1: the first camera with a capture node and a command port)", -1,
            G_MAXINT, vivaclient::CameraChoice::kAny, flags));
    g_object_class_install_property(
        object, PROP_PLANE,
        g_param_spec_enum(
            "plane", "Plane",
            "The plane of each frame the buffers hold (the other one travels in the buffer's GstVivazuzozMeta)",
            PlaneEnumType(), GST_VIVAZUZOZ_PLANE_IMAGE, flags));
    g_object_class_install_property(
        object, PROP_RECONNECT,
        g_param_spec_boolean("reconnect", "Reconnect",
                             "When the camera is unplugged or stalls, wait for it to come back and go on, numbering "
                             "on (else: an error)",
                             FALSE, flags));
    g_object_class_install_property(
        object, PROP_KEEP_ALIVE,
        g_param_spec_boolean("keep-alive", "Keep alive",
                             "With reconnect=true: while the camera is away, repeat the last frame twice a second, "
                             "marked camera_lost in its meta, so that players and recorders downstream do not time out",
                             FALSE, flags));
    // The shutter correction policy, as the tool's --shutter-every,
    // --shutter-on-drift and --shutter-settle.
    g_object_class_install_property(
        object, PROP_SHUTTER_EVERY,
        g_param_spec_double("shutter-every", "Shutter every",
                            "Correct the shutter (flat field) every this many seconds (0: never)", 0, 7 * 86400, 0,
                            flags));
    g_object_class_install_property(
        object, PROP_SHUTTER_ON_DRIFT,
        g_param_spec_double("shutter-on-drift", "Shutter on drift",
                            "Correct the shutter when the detector (FPA) temperature, read every 2 s, moved this many "
                            "degrees since the last correction (0: never)",
                            0, 100, 0, flags));
    g_object_class_install_property(
        object, PROP_SHUTTER_SETTLE,
        g_param_spec_double("shutter-settle", "Shutter settle",
                            "Frames up to this many seconds after a correction are marked settling in their meta", 0,
                            600, 1, flags));
    // The camera's writable settings, by the tool's names ("" leaves a
    // setting as the camera has it).
    const auto& settings = vivaclient::Settings();
    for (size_t i = 0; i < settings.size(); ++i) {
        if (settings[i].readOnly())
            continue;
        // The range once: some descriptions already end with it.
        const std::string range = vivaclient::SettingRange(settings[i]);
        std::string blurb = settings[i].description;
        if (blurb.find(range) == std::string::npos)
            blurb += ", " + range;
        blurb += " (empty: as the camera has it)";
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
