// rtsp_server.cpp - the GStreamer side of `vivazuzoz rtsp`: each mount's
// pipeline and what its media does with the camera's events, and the
// clients: a key frame when one joins, a bounded send buffer, and dropping
// one that stopped reading.
#include "rtsp_server.h"

#include "tcp_progress.h"

#include <library_use.h>

#include <gst/video/video.h>
#include <malloc.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <string>

namespace vivatool {

namespace {

// The allocator's arenas, and the size from which it maps a block of its
// own (see BoundAllocator).
constexpr int kArenas = 2;
constexpr int kMapFrom = 256 * 1024;
// A key frame sent this recently (microseconds) serves a client that joins.
constexpr gint64 kRecentKeyFrameUs = 200 * 1000;
// The socket send buffer asked for each client (the kernel doubles it): a
// second of the stream at its highest rates.
constexpr int kSendBuffer = 64 * 1024;
// A TCP client whose data is backed up this long (microseconds) is dropped,
// checked this often (milliseconds).
constexpr gint64 kStalledForUs = 2 * 1000 * 1000;
constexpr guint kStallCheckMs = 250;
// Pictures of a stream waiting for its TCP clients (see GroupPictures).
constexpr guint kTcpBacklogPictures = 3;
// Packets that GroupPictures holds back for a picture whose end it has not
// seen; more, and they go on as they are.
constexpr guint kMaxPicturePackets = 1024;

// The pipeline of one mount: the camera's frames coloured, encoded for low
// latency (no B-frames, no look-ahead, a key frame every second) and
// packed for RTP. One encoder thread, so that every picture is one slice:
// zerolatency's sliced threads cut a picture in several, and the payloader
// puts the parameter sets before each slice of a key frame, which players
// take for the start of another picture with the same time.
std::string MountPipeline(int camera, const char* colormap, const std::string& sourceOptions)
{
    return "( vivazuzozsrc device=" + std::to_string(camera) + " reconnect=true keep-alive=true" + sourceOptions +
           " ! thermalcolorize colormap=" + colormap +
           " ! video/x-raw,format=I420 ! x264enc tune=zerolatency speed-preset=ultrafast threads=1"
           " key-int-max=25"
           " ! video/x-h264,profile=constrained-baseline ! rtph264pay name=pay0 pt=96 config-interval=-1 )";
}

// What the camera events of one mount's media are said with.
struct MountReport {
    FILE* err;
    std::string mount;  // "/0", "/0/iron"
};

// The camera's loss, return and failure, one line each on stderr; runs on
// the source's supervisor thread.
GstBusSyncReply SayCameraEvent(GstBus*, GstMessage* message, gpointer data)
{
    const GstStructure* s = gst_message_get_structure(message);
    if (GST_MESSAGE_TYPE(message) != GST_MESSAGE_ELEMENT || !s || !gst_structure_has_name(s, "vivazuzoz-camera-event"))
        return GST_BUS_PASS;
    const auto* report = static_cast<const MountReport*>(data);
    const std::string event = gst_structure_get_string(s, "event");
    const char* text = gst_structure_get_string(s, "message");
    if (event == "lost" || event == "stalled")
        std::fprintf(report->err, "vivazuzoz: %s; %s shows the last picture meanwhile\n", text, report->mount.c_str());
    else if (event == "back")
        std::fprintf(report->err, "vivazuzoz: %s; %s goes on\n", text, report->mount.c_str());
    else if (event == "error")
        std::fprintf(report->err, "vivazuzoz: %s: %s; its clients are disconnected\n", report->mount.c_str(), text);
    std::fflush(report->err);
    return GST_BUS_PASS;
}

// When the payloader of a mount's media last saw a key frame
// (g_get_monotonic_time; 0: none yet), kept on the payloader.
constexpr const char* kKeyFrameData = "vivazuzoz-last-key-frame";
struct LastKeyFrame {
    std::atomic<gint64> at{0};
};

GstPadProbeReturn NoteKeyFrame(GstPad*, GstPadProbeInfo* info, gpointer data)
{
    GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    if (buffer && !GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT))
        static_cast<LastKeyFrame*>(data)->at = g_get_monotonic_time();
    return GST_PAD_PROBE_OK;
}

void WatchKeyFrames(GstElement* bin)
{
    GstElement* pay = gst_bin_get_by_name(GST_BIN(bin), "pay0");
    if (!pay)
        return;
    auto* last = new LastKeyFrame;
    g_object_set_data_full(G_OBJECT(pay), kKeyFrameData, last,
                           [](gpointer p) { delete static_cast<LastKeyFrame*>(p); });
    GstPad* pad = gst_element_get_static_pad(pay, "sink");
    gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, NoteKeyFrame, last, nullptr);
    gst_object_unref(pad);
    gst_object_unref(pay);
}

// gst-rtsp-server hands a stream's TCP data to its clients through an
// appsink, which it pulls only while some TCP client can take more. With
// only clients that cannot, the appsink fills and blocks the stream for every
// client (UDP ones too), and once it blocks it is never pulled again, even
// after those clients are gone. Dropping the oldest data instead keeps the
// stream going; a client that cannot take it loses data, which it would
// have lost anyway (and DropStalledClient drops the client).
//
// Its sending thread takes one sample from the appsink each time it is
// woken, and it is woken once for each new sample, or once for several that
// came while it was sending: what waits in the appsink is never caught up,
// and each packet of it delays all later ones. With one sample a packet the
// packets of a key frame, which come in a burst, left that backlog behind
// them, and the delay grew to seconds. So each picture's packets go on as
// one list (one sample), and the appsink holds a few pictures: a picture
// that waits delays the stream by a picture period, and when the clients
// cannot keep up whole pictures are dropped.
void OnElementAdded(GstBin*, GstBin*, GstElement* element, gpointer)
{
    GstElementFactory* factory = gst_element_get_factory(element);
    if (factory && std::string(gst_plugin_feature_get_name(GST_PLUGIN_FEATURE(factory))) == "appsink")
        g_object_set(element, "drop", TRUE, "max-buffers", kTcpBacklogPictures, nullptr);
}

// The RTP packets of the picture being grouped, kept on the payloader's
// source pad; used by its streaming thread only.
constexpr const char* kPictureData = "vivazuzoz-picture";
struct Picture {
    GstBufferList* packets = nullptr;
    ~Picture()
    {
        if (packets)
            gst_buffer_list_unref(packets);
    }
};

// Whether an RTP packet has the marker bit, which the H.264 payloader sets
// on the last packet of each picture (RFC 6184): the second byte's top bit.
bool EndsPicture(GstBuffer* packet)
{
    guint8 header[2];
    return gst_buffer_extract(packet, 0, header, sizeof header) == sizeof header && (header[1] & 0x80) != 0;
}

// Set while this thread pushes a picture that GroupPictures put together.
thread_local bool t_pushingPicture = false;

GstFlowReturn PushPicture(GstPad* pad, Picture& picture)
{
    GstBufferList* packets = picture.packets;
    picture.packets = nullptr;
    t_pushingPicture = true;
    const GstFlowReturn flow = gst_pad_push_list(pad, packets);
    t_pushingPicture = false;
    return flow;
}

// Holds back the payloader's packets until the one that ends a picture, and
// pushes them as one list (see OnElementAdded). The UDP clients' sink sends
// a list packet by packet as it would single ones.
GstPadProbeReturn GroupPictures(GstPad* pad, GstPadProbeInfo* info, gpointer data)
{
    auto& picture = *static_cast<Picture*>(data);
    if (info->type & GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM) {
        // Only serialized events come from the streaming thread, which owns
        // `picture`; a picture cut short by one goes on before it.
        GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
        if (!GST_EVENT_IS_SERIALIZED(event) || !picture.packets)
            return GST_PAD_PROBE_OK;
        if (GST_EVENT_TYPE(event) == GST_EVENT_FLUSH_STOP)
            g_clear_pointer(&picture.packets, gst_buffer_list_unref);
        else
            PushPicture(pad, picture);
        return GST_PAD_PROBE_OK;
    }
    if (t_pushingPicture)
        return GST_PAD_PROBE_OK;
    if (!picture.packets)
        picture.packets = gst_buffer_list_new();
    bool ends = false;
    auto add = [&](GstBuffer* packet) {
        gst_buffer_list_add(picture.packets, gst_buffer_ref(packet));
        ends = EndsPicture(packet);
    };
    if (info->type & GST_PAD_PROBE_TYPE_BUFFER) {
        add(GST_PAD_PROBE_INFO_BUFFER(info));
    } else {
        GstBufferList* list = GST_PAD_PROBE_INFO_BUFFER_LIST(info);
        for (guint i = 0, n = gst_buffer_list_length(list); i < n; ++i)
            add(gst_buffer_list_get(list, i));
    }
    gst_mini_object_unref(GST_MINI_OBJECT_CAST(GST_PAD_PROBE_INFO_DATA(info)));
    GST_PAD_PROBE_INFO_DATA(info) = nullptr;
    GST_PAD_PROBE_INFO_FLOW_RETURN(info) = GST_FLOW_OK;
    if (ends || gst_buffer_list_length(picture.packets) >= kMaxPicturePackets)
        GST_PAD_PROBE_INFO_FLOW_RETURN(info) = PushPicture(pad, picture);
    return GST_PAD_PROBE_HANDLED;
}

void GroupPicturesOf(GstElement* bin)
{
    if (GstElement* pay = gst_bin_get_by_name(GST_BIN(bin), "pay0")) {
        SendPicturesWhole(pay);
        gst_object_unref(pay);
    }
}

void OnMediaConstructed(GstRTSPMediaFactory*, GstRTSPMedia* media, gpointer data)
{
    // The pipeline's own bus: the bus of an element inside it is its bin's,
    // whose sync handler the bin needs for itself.
    const auto* report = static_cast<const MountReport*>(data);
    GstElement* element = gst_rtsp_media_get_element(media);
    GstObject* pipeline = gst_object_get_parent(GST_OBJECT(element));
    if (pipeline && GST_IS_PIPELINE(pipeline)) {
        GstBus* bus = gst_pipeline_get_bus(GST_PIPELINE(pipeline));
        gst_bus_set_sync_handler(bus, SayCameraEvent, new MountReport(*report),
                                 [](gpointer p) { delete static_cast<MountReport*>(p); });
        gst_object_unref(bus);
        g_signal_connect(pipeline, "deep-element-added", G_CALLBACK(OnElementAdded), nullptr);
    }
    if (pipeline)
        gst_object_unref(pipeline);
    WatchKeyFrames(element);
    GroupPicturesOf(element);
    gst_object_unref(element);
}

// A media's threads are gone when it stops: what they freed goes back to the
// system, so that clients joining and leaving do not keep memory.
void OnMediaUnprepared(GstRTSPMedia*, gpointer)
{
    malloc_trim(0);
}

void OnMediaConfigure(GstRTSPMediaFactory*, GstRTSPMedia* media, gpointer)
{
    g_signal_connect(media, "unprepared", G_CALLBACK(OnMediaUnprepared), nullptr);
}

// A client that joins a running stream gets a key frame at once instead of
// waiting up to a second for the next one. Not when the stream has just
// started or sent one: the client would get two key frames in a row.
void OnPlay(GstRTSPClient*, GstRTSPContext* context, gpointer)
{
    if (!context || !context->media)
        return;
    GstElement* bin = gst_rtsp_media_get_element(context->media);
    if (GstElement* pay = gst_bin_get_by_name(GST_BIN(bin), "pay0")) {
        const auto* last = static_cast<const LastKeyFrame*>(g_object_get_data(G_OBJECT(pay), kKeyFrameData));
        const gint64 at = last ? last->at.load() : 0;
        if (at != 0 && g_get_monotonic_time() - at > kRecentKeyFrameUs)
            gst_element_send_event(pay, gst_video_event_new_upstream_force_key_unit(GST_CLOCK_TIME_NONE, TRUE, 0));
        gst_object_unref(pay);
    }
    gst_object_unref(bin);
}

// A client's socket holds this much unsent data: a client that stops
// reading backs up in a fraction of a second rather than after megabytes.
void BoundSendBuffer(GstRTSPClient* client)
{
    GstRTSPConnection* connection = gst_rtsp_client_get_connection(client);
    GSocket* socket = connection ? gst_rtsp_connection_get_write_socket(connection) : nullptr;
    if (!socket)
        return;
    const int size = kSendBuffer;
    if (setsockopt(g_socket_get_fd(socket), SOL_SOCKET, SO_SNDBUF, &size, sizeof size) != 0)
        g_debug("SO_SNDBUF: %s", g_strerror(errno));
}

void OnClient(GstRTSPServer*, GstRTSPClient* client, gpointer)
{
    g_signal_connect(client, "play-request", G_CALLBACK(OnPlay), nullptr);
    BoundSendBuffer(client);
}

// gst-rtsp-server sends a shared stream's TCP data only while some TCP
// client can take it: one client that stops reading, when no other TCP
// client plays, holds the stream for everyone (UDP clients too), back to
// the camera. A client whose socket has held unsent data that it did not
// take for kStalledFor (not reading, or gone without a word) is dropped;
// one that reads again in time, however slowly, is left alone.
constexpr const char* kProgress = "vivazuzoz-progress";

// Whether the client's socket holds unsent data and the client has taken
// none of it since `acked` was measured; `acked` is updated.
bool Stuck(GstRTSPClient* client, uint64_t& acked)
{
    GstRTSPConnection* connection = gst_rtsp_client_get_connection(client);
    GSocket* socket = connection ? gst_rtsp_connection_get_write_socket(connection) : nullptr;
    if (!socket)
        return false;
    TcpProgress now;
    if (!ReadTcpProgress(g_socket_get_fd(socket), now))
        return false;
    const bool stuck = now.unsent > 0 && now.acked == acked;
    acked = now.acked;
    return stuck;
}

// What is known of a client's progress, kept on the client.
struct Progress {
    uint64_t acked = 0;
    gint64 stuckSince = 0;  // 0: not stuck
};

GstRTSPFilterResult DropStalledClient(GstRTSPServer*, GstRTSPClient* client, gpointer data)
{
    auto* progress = static_cast<Progress*>(g_object_get_data(G_OBJECT(client), kProgress));
    if (!progress) {
        progress = new Progress;
        g_object_set_data_full(G_OBJECT(client), kProgress, progress,
                               [](gpointer p) { delete static_cast<Progress*>(p); });
    }
    const gint64 now = g_get_monotonic_time();
    if (!Stuck(client, progress->acked)) {
        progress->stuckSince = 0;
        return GST_RTSP_FILTER_KEEP;
    }
    if (progress->stuckSince == 0)
        progress->stuckSince = now;
    if (now - progress->stuckSince < kStalledForUs)
        return GST_RTSP_FILTER_KEEP;
    GstRTSPConnection* connection = gst_rtsp_client_get_connection(client);
    std::fprintf(static_cast<FILE*>(data),
                 "vivazuzoz: the client at %s stopped reading; it is disconnected so that the others go on\n",
                 connection ? gst_rtsp_connection_get_ip(connection) : "?");
    std::fflush(static_cast<FILE*>(data));
    return GST_RTSP_FILTER_REMOVE;
}

struct Watchdog {
    GstRTSPServer* server;
    FILE* err;
};

gboolean DropStalledClients(gpointer data)
{
    const auto* watchdog = static_cast<const Watchdog*>(data);
    gst_rtsp_server_client_filter(watchdog->server, DropStalledClient, watchdog->err);
    return G_SOURCE_CONTINUE;
}

GstRTSPFilterResult CloseClient(GstRTSPServer*, GstRTSPClient*, gpointer)
{
    return GST_RTSP_FILTER_REMOVE;
}

}  // namespace

void SendPicturesWhole(GstElement* payloader)
{
    GstPad* pad = gst_element_get_static_pad(payloader, "src");
    auto* picture = new Picture;
    g_object_set_data_full(G_OBJECT(pad), kPictureData, picture, [](gpointer p) { delete static_cast<Picture*>(p); });
    gst_pad_add_probe(pad,
                      static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST |
                                                   GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM),
                      GroupPictures, picture, nullptr);
    gst_object_unref(pad);
}

// Every media starts new streaming threads (the camera's, the encoder's),
// and glibc gives each new thread an arena of its own, which it keeps after
// the thread is gone: a server whose clients come and go grew by megabytes
// a restart. A couple of arenas serve one stream's few threads. Frames (a
// few hundred kilobytes each) are mapped and unmapped one by one rather
// than carved from the arenas, where the heap keeps what they leave behind
// (a fixed threshold: glibc's own rises with the first frames freed). The
// user's MALLOC_ARENA_MAX and MALLOC_MMAP_THRESHOLD_, when set, are left alone.
void BoundAllocator()
{
    if (!std::getenv("MALLOC_ARENA_MAX"))
        mallopt(M_ARENA_MAX, kArenas);
    if (!std::getenv("MALLOC_MMAP_THRESHOLD_"))
        mallopt(M_MMAP_THRESHOLD, kMapFrom);
}

GstRTSPMediaFactory* MakeFactory(int camera, const char* colormap, bool withAuth, bool tls, FILE* err,
                                 const std::string& mount, const std::string& sourceOptions)
{
    GstRTSPMediaFactory* factory = gst_rtsp_media_factory_new();
    g_signal_connect_data(
        factory, "media-constructed", G_CALLBACK(OnMediaConstructed), new MountReport{err, mount},
        [](gpointer p, GClosure*) { delete static_cast<MountReport*>(p); }, GConnectFlags());
    g_signal_connect(factory, "media-configure", G_CALLBACK(OnMediaConfigure), nullptr);
    gst_rtsp_media_factory_set_launch(factory, MountPipeline(camera, colormap, sourceOptions).c_str());
    gst_rtsp_media_factory_set_shared(factory, TRUE);
    if (tls)
        gst_rtsp_media_factory_set_protocols(factory, GST_RTSP_LOWER_TRANS_TCP);
    if (withAuth)
        gst_rtsp_media_factory_add_role(factory, kRtspRole, GST_RTSP_PERM_MEDIA_FACTORY_ACCESS, G_TYPE_BOOLEAN, TRUE,
                                        GST_RTSP_PERM_MEDIA_FACTORY_CONSTRUCT, G_TYPE_BOOLEAN, TRUE, nullptr);
    return factory;
}

// --token: Basic authentication with user kUser and the token as password.
void RequirePassword(GstRTSPServer* server, const std::string& password)
{
    GstRTSPAuth* auth = gst_rtsp_auth_new();
    GstRTSPToken* token = gst_rtsp_token_new(GST_RTSP_TOKEN_MEDIA_FACTORY_ROLE, G_TYPE_STRING, kRtspRole, nullptr);
    gchar* basic = gst_rtsp_auth_make_basic(kRtspUser, password.c_str());
    gst_rtsp_auth_add_basic(auth, basic, token);
    g_free(basic);
    gst_rtsp_token_unref(token);
    gst_rtsp_server_set_auth(server, auth);
    g_object_unref(auth);
}

guint WatchStalledClients(GstRTSPServer* server, FILE* err)
{
    return g_timeout_add_full(G_PRIORITY_DEFAULT, kStallCheckMs, DropStalledClients, new Watchdog{server, err},
                              [](gpointer p) { delete static_cast<Watchdog*>(p); });
}

void OnClientConnected(GstRTSPServer* server)
{
    g_signal_connect(server, "client-connected", G_CALLBACK(OnClient), nullptr);
}

// Clients first: their media stop, which closes the cameras. The media are
// taken down on the main loop: run it until no source is left (this
// command's own LibraryUse stays), for at most a few seconds.
void CloseClients(GstRTSPServer* server)
{
    gst_rtsp_server_client_filter(server, CloseClient, nullptr);
    for (int i = 0; i < 500 && vivagst::LibraryUse::Users() > 1; ++i) {
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
        g_usleep(10000);
    }
}

}  // namespace vivatool
