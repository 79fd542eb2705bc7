// mjpeg_stream.h - false-coloured JPEG pictures of a camera for viewers
// that are not the live view's page: GET /api/cameras/{i}/stream.mjpg (a
// multipart/x-mixed-replace stream, as video recorders, dashboards, players
// and browsers' <img> read it) and GET /api/cameras/{i}/snapshot.jpg. A
// picture is encoded once per camera, colour map and rate, and shared by
// every viewer that asks for the same.
#pragma once

#include "camera_hub.h"

#include <vivaclient/colormaps.h>
#include <vivaclient/jpeg.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>

namespace Poco {
class URI;
namespace Net {
class StreamSocket;
}
}  // namespace Poco

namespace vivatool::serve {

// The part boundary of the MJPEG stream.
constexpr char kMjpegBoundary[] = "vivazuzoz-frame";

// What a viewer asks for: ?colormap=NAME (QueryColormap; default iron)
// and ?fps=F (pictures a second, 0.1 to 30, default 10).
struct JpegRequest {
    const vivaclient::ColormapInfo* colormap = nullptr;
    double fps = 10;
};

// Reads the query; false with a message for the viewer when a value is
// refused.
bool ParseJpegRequest(const Poco::URI& uri, JpegRequest& request, std::string& error);

// The colour map a picture's query asks for: ?colormap=NAME (or its older
// name ?palette=NAME); the default, the first of Colormaps() (iron), when
// there is none or it is empty. nullptr with a message for an unknown name.
const vivaclient::ColormapInfo* QueryColormap(const Poco::URI& uri, std::string& error);

struct JpegPicture {
    uint64_t sequence = 0;  // of the frame it shows
    std::string jpeg;
};

// The slots of a rate: one period each, counted from `epoch`. Every viewer
// of one rate keeps the same slots, so that the picture made for the first
// of them in a slot serves the others.
class JpegCadence {
public:
    using Clock = std::chrono::steady_clock;

    JpegCadence(Clock::time_point epoch, double fps);

    // The slot `t` falls in (0 before the epoch).
    uint64_t SlotAt(Clock::time_point t) const;
    Clock::time_point StartOf(uint64_t slot) const;

private:
    const Clock::time_point epoch_;
    const Clock::duration period_;  // at least 1 tick
};

// The pictures of one camera in one colour map at one rate. The picture of a
// slot is made for the first viewer that asks in it and shared by the
// others; a viewer that needs a picture newer than the one there (it has
// sent that one already) gets a new one of the newest frame at once.
class JpegFrames {
public:
    using Clock = std::chrono::steady_clock;

    JpegFrames(const vivaclient::ColormapInfo& colormap, double fps, Clock::time_point epoch = Clock::now());

    // At `now`, for a viewer whose last picture showed frame `after` (0:
    // none yet): the picture of this slot if it is newer than that, else a
    // picture of `frame` (the camera's newest), else the last picture there
    // when `frame` is no newer than it. Null when nothing could be encoded.
    std::shared_ptr<const JpegPicture> Get(const std::shared_ptr<const Frame>& frame, uint64_t after = 0,
                                           Clock::time_point now = Clock::now());

    const JpegCadence& cadence() const { return cadence_; }
    uint64_t encoded() const;

    int quality = 85;

private:
    const vivaclient::Colormap colormap_;
    const JpegCadence cadence_;
    mutable std::mutex mutex_;
    vivaclient::JpegEncoder encoder_;  // guarded by mutex_, as are the fields below
    std::shared_ptr<const JpegPicture> last_;
    uint64_t lastSlot_ = 0;  // the slot last_ was made in
    uint64_t encoded_ = 0;
};

// One MJPEG viewer's pace: at most one picture per slot of its rate's
// cadence, each newer than the one before. A viewer that fell behind (the
// camera stalled or was away, the network was slow) sends at its next
// chance and then keeps the cadence, leaving out the slots it missed rather
// than running late ever after. One thread only.
class MjpegPacer {
public:
    using Clock = std::chrono::steady_clock;

    explicit MjpegPacer(JpegFrames& frames) : frames_(frames) {}

    // When the next picture is due; at once when it is now or past.
    Clock::time_point NextDue() const;
    // The sequence of the newest frame considered: wait for a newer one.
    uint64_t seen() const { return seen_; }

    // The picture to send at `now`, given the camera's newest `frame`; null
    // when none is due yet or there is none newer than the last one sent.
    std::shared_ptr<const JpegPicture> Take(const std::shared_ptr<const Frame>& frame, Clock::time_point now);

private:
    JpegFrames& frames_;
    bool sentAny_ = false;
    uint64_t sentSlot_ = 0;      // the slot the last picture was sent in
    uint64_t sentSequence_ = 0;  // the frame the last picture showed
    uint64_t seen_ = 0;
};

// The JpegFrames of a server, made on first use: one per camera, colour map
// and rate that viewers asked for. Those that no viewer holds are forgotten
// once there are more than kKeptUnused.
class JpegFrameCache {
public:
    static constexpr size_t kKeptUnused = 32;

    std::shared_ptr<JpegFrames> For(int camera, const JpegRequest& request);
    // Pictures encoded by all of them.
    uint64_t encoded();
    size_t size();

private:
    std::mutex mutex_;
    std::map<std::tuple<int, std::string, long>, std::shared_ptr<JpegFrames>> frames_;
    uint64_t retired_ = 0;  // pictures encoded by the forgotten ones
};

// Sends the parts of the MJPEG stream on `socket` (whose response header is
// already sent) at the rate of `frames` (MjpegPacer), until the
// viewer closes the connection or `stop` is set. A viewer that takes
// nothing for the socket's send timeout ends it with Poco's
// TimeoutException (or an IOException of EAGAIN).
void SendMjpeg(Poco::Net::StreamSocket& socket, const CameraHub& hub, int camera, JpegFrames& frames,
               const std::atomic<bool>& stop);

}  // namespace vivatool::serve
