// mjpeg_stream.h - false-coloured JPEG pictures of a camera for viewers
// that are not the live view's page: GET /api/cameras/{i}/stream.mjpg (a
// multipart/x-mixed-replace stream, as video recorders, dashboards, players
// and browsers' <img> read it) and GET /api/cameras/{i}/snapshot.jpg. A
// picture is encoded once per camera, colour map and rate, and shared by
// every viewer that asks for the same.
#pragma once

#include "camera_hub.h"

#include <colormaps.h>
#include <jpeg.h>

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

// What a viewer asks for: ?colormap=NAME (default: the first colour map)
// and ?fps=F (pictures a second, 0.1 to 30, default 10).
struct JpegRequest {
    const vivaclient::ColormapInfo* colormap = nullptr;
    double fps = 10;
};

// Reads the query; false with a message for the viewer when a value is
// refused.
bool ParseJpegRequest(const Poco::URI& uri, JpegRequest& request, std::string& error);

struct JpegPicture {
    uint64_t sequence = 0;  // of the frame it shows
    std::string jpeg;
};

// The pictures of one camera in one colour map at one rate: a new one is
// encoded when a viewer asks and the last one is older than the period (or
// shows an older frame, at a rate of 0).
class JpegFrames {
public:
    JpegFrames(const vivaclient::ColormapInfo& colormap, double fps);

    // A picture of `frame`, or of an earlier frame less than a period ago;
    // null when it cannot be encoded.
    std::shared_ptr<const JpegPicture> Get(const std::shared_ptr<const Frame>& frame);

    uint64_t encoded() const;

    int quality = 85;

private:
    const vivaclient::Colormap colormap_;
    const std::chrono::steady_clock::duration period_;
    mutable std::mutex mutex_;
    vivaclient::JpegEncoder encoder_;
    std::shared_ptr<const JpegPicture> last_;
    std::chrono::steady_clock::time_point lastAt_{};
    uint64_t encoded_ = 0;
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
// already sent) at the request's rate, each the newest picture, until the
// viewer closes the connection or `stop` is set. A viewer that takes
// nothing for the socket's send timeout ends it with Poco's
// TimeoutException (or an IOException of EAGAIN).
void SendMjpeg(Poco::Net::StreamSocket& socket, const CameraHub& hub, int camera, JpegFrames& frames, double fps,
               const std::atomic<bool>& stop);

}  // namespace vivatool::serve
