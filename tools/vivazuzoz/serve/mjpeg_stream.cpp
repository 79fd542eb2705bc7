#include "mjpeg_stream.h"

#include <Poco/Net/StreamSocket.h>
#include <Poco/NumberParser.h>
#include <Poco/URI.h>

#include <algorithm>
#include <cmath>
#include <thread>

namespace vivatool::serve {
using namespace vivaclient;

using Clock = std::chrono::steady_clock;

const vivaclient::ColormapInfo* QueryColormap(const Poco::URI& uri, std::string& error)
{
    std::string name;
    for (const auto& [key, value] : uri.getQueryParameters())
        if (key == "colormap" || key == "palette")
            name = value;
    if (name.empty())
        return &vivaclient::Colormaps().front();
    const vivaclient::ColormapInfo* map = vivaclient::FindColormap(name);
    if (!map)
        error = "unknown colormap '" + name + "'; colour maps are: " + vivaclient::ColormapNames();
    return map;
}

bool ParseJpegRequest(const Poco::URI& uri, JpegRequest& request, std::string& error)
{
    request.colormap = QueryColormap(uri, error);
    if (!request.colormap)
        return false;
    for (const auto& [key, value] : uri.getQueryParameters()) {
        if (key == "fps") {
            double fps = 0;
            if (!Poco::NumberParser::tryParseFloat(value, fps) || !std::isfinite(fps) || fps < 0.1 || fps > 30) {
                error = "fps must be a number from 0.1 to 30, not '" + value + "'";
                return false;
            }
            request.fps = fps;
        }
    }
    return true;
}

JpegCadence::JpegCadence(Clock::time_point epoch, double fps)
    : epoch_(epoch),
      period_(std::max<Clock::duration>(std::chrono::duration_cast<Clock::duration>(
                                            std::chrono::duration<double>(fps > 0 ? 1.0 / fps : 0)),
                                        Clock::duration(1)))
{
}

uint64_t JpegCadence::SlotAt(Clock::time_point t) const
{
    return t <= epoch_ ? 0 : static_cast<uint64_t>((t - epoch_) / period_);
}

JpegCadence::Clock::time_point JpegCadence::StartOf(uint64_t slot) const
{
    return epoch_ + period_ * static_cast<Clock::rep>(slot);
}

JpegFrames::JpegFrames(const vivaclient::ColormapInfo& colormap, double fps, Clock::time_point epoch)
    : colormap_(colormap.build()), cadence_(epoch, fps)
{
}

std::shared_ptr<const JpegPicture> JpegFrames::Get(const std::shared_ptr<const Frame>& frame, uint64_t after,
                                                   Clock::time_point now)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const uint64_t slot = cadence_.SlotAt(now);
    // The camera's frames are coloured and encoded once a slot, whichever
    // viewer asks first, unless one needs a newer picture than that.
    if (last_ && last_->sequence > after && lastSlot_ == slot)
        return last_;
    if (last_ && last_->sequence >= frame->sequence())
        return last_;
    const std::vector<uint8_t> rgb = frame->temps() ? vivaclient::Colourise(frame->temps(), frame->width(),
                                                                            frame->height(), colormap_)
                                                    : vivaclient::Colourise(frame->image(), frame->width(),
                                                                            frame->height(), colormap_);
    auto picture = std::make_shared<JpegPicture>();
    picture->sequence = frame->sequence();
    std::string error;
    if (!encoder_.EncodeRgb(rgb.data(), frame->width(), frame->height(), quality, picture->jpeg, error))
        return last_;
    ++encoded_;
    last_ = std::move(picture);
    lastSlot_ = slot;
    return last_;
}

uint64_t JpegFrames::encoded() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return encoded_;
}

std::shared_ptr<JpegFrames> JpegFrameCache::For(int camera, const JpegRequest& request)
{
    // The rate in thousandths, so that 10 and 10.0 are one key.
    const auto key = std::make_tuple(camera, std::string(request.colormap->name), std::lround(request.fps * 1000));
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = frames_.find(key);
    if (found != frames_.end())
        return found->second;
    // Rates are free numbers: past a few dozen kinds, the ones no viewer
    // holds now go, with their last picture.
    if (frames_.size() >= kKeptUnused) {
        for (auto it = frames_.begin(); it != frames_.end();) {
            if (it->second.use_count() == 1) {
                retired_ += it->second->encoded();
                it = frames_.erase(it);
            } else {
                ++it;
            }
        }
    }
    auto frames = std::make_shared<JpegFrames>(*request.colormap, request.fps);
    frames_.emplace(key, frames);
    return frames;
}

uint64_t JpegFrameCache::encoded()
{
    std::lock_guard<std::mutex> lock(mutex_);
    uint64_t total = retired_;
    for (const auto& entry : frames_)
        total += entry.second->encoded();
    return total;
}

size_t JpegFrameCache::size()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_.size();
}

MjpegPacer::Clock::time_point MjpegPacer::NextDue() const
{
    return sentAny_ ? frames_.cadence().StartOf(sentSlot_ + 1) : Clock::time_point{};
}

std::shared_ptr<const JpegPicture> MjpegPacer::Take(const std::shared_ptr<const Frame>& frame, Clock::time_point now)
{
    const uint64_t slot = frames_.cadence().SlotAt(now);
    if (!frame || (sentAny_ && slot <= sentSlot_) || frame->sequence() <= sentSequence_)
        return nullptr;
    seen_ = std::max(seen_, frame->sequence());
    std::shared_ptr<const JpegPicture> picture = frames_.Get(frame, sentSequence_, now);
    if (!picture || picture->sequence <= sentSequence_)
        return nullptr;  // not encoded: wait for the next frame
    sentAny_ = true;
    sentSlot_ = slot;
    sentSequence_ = picture->sequence;
    return picture;
}

void SendMjpeg(Poco::Net::StreamSocket& socket, const CameraHub& hub, int camera, JpegFrames& frames,
               const std::atomic<bool>& stop)
{
    MjpegPacer pacer(frames);
    CameraView view = hub.View(camera);
    std::string part;
    char probe[256];
    while (!stop.load()) {
        // A viewer sends nothing after its request: readable means it
        // closed the connection (or sent bytes that are ignored).
        if (socket.poll(Poco::Timespan(0), Poco::Net::Socket::SELECT_READ) &&
            socket.receiveBytes(probe, sizeof probe) <= 0)
            return;
        const Clock::time_point due = pacer.NextDue();
        if (Clock::now() < due) {
            std::this_thread::sleep_for(std::min<Clock::duration>(due - Clock::now(), std::chrono::milliseconds(100)));
            continue;
        }
        view = hub.WaitForChange(camera, pacer.seen(), view.live, Clock::now() + std::chrono::milliseconds(250), stop);
        const std::shared_ptr<const JpegPicture> picture = pacer.Take(view.frame, Clock::now());
        if (!picture)
            continue;
        part.clear();
        part.append("--").append(kMjpegBoundary).append("\r\nContent-Type: image/jpeg\r\nContent-Length: ");
        part.append(std::to_string(picture->jpeg.size())).append("\r\n\r\n");
        part.append(picture->jpeg).append("\r\n");
        socket.sendBytes(part.data(), static_cast<int>(part.size()));
    }
}

}  // namespace vivatool::serve
