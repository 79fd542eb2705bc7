// server_state.h - what the live server's endpoints share: the hub, the
// options, the counters and the per-camera encoders (ServerState), and one
// request on its way through admission and the route table (Exchange).
#pragma once

#include "camera_hub.h"
#include "compact_frames.h"
#include "hub_metrics.h"
#include "live_server.h"
#include "mjpeg_stream.h"
#include "settings_cache.h"

#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/URI.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace vivatool::serve {

struct ServerState {
    ServerState(CameraHub& h, ServerOptions o) : hub(h), options(std::move(o)), tls(!options.tlsCertificate.empty()) {}

    CameraHub& hub;
    const ServerOptions options;
    const bool tls;  // HTTPS and WSS
    // Set once listening (LiveServer::Start, before the first request).
    uint16_t port = 0;
    // Set by LiveServer::Stop(); streams look at it at least every 100 ms.
    std::atomic<bool> stopping{false};
    // The --max-clients stream slots taken (StreamSlot, admission.h).
    std::atomic<int> streams{0};
    std::atomic<uint64_t> framesSent{0};
    std::atomic<uint64_t> clientsDropped{0};
    // Made by LiveServer::Start() before the first request, reset by Stop()
    // after the last one.
    std::unique_ptr<SettingsCache> settings;
    HubMetrics metrics;         // GET /metrics, for Prometheus
    JpegFrameCache jpegFrames;  // the MJPEG stream and JPEG snapshot (mjpeg_stream.h)

    // The compact stream's messages of a camera, shared by its clients.
    CompactFrames& Compact(int camera)
    {
        std::lock_guard<std::mutex> lock(compactMutex_);
        auto& frames = compact_[camera];
        if (!frames)
            frames = std::make_unique<CompactFrames>();
        return *frames;
    }
    uint64_t compactPictures() const
    {
        std::lock_guard<std::mutex> lock(compactMutex_);
        uint64_t pictures = 0;
        for (const auto& entry : compact_)
            pictures += entry.second->picturesEncoded();
        return pictures;
    }

private:
    mutable std::mutex compactMutex_;
    std::map<int, std::unique_ptr<CompactFrames>> compact_;  // guarded by compactMutex_
};

// One request: what admission learnt of it, then what its route matched.
struct Exchange {
    Exchange(ServerState& s, Poco::Net::HTTPServerRequest& q, Poco::Net::HTTPServerResponse& r)
        : server(s), request(q), response(r)
    {
    }

    ServerState& server;
    Poco::Net::HTTPServerRequest& request;
    Poco::Net::HTTPServerResponse& response;
    // Admission (admission.h).
    std::string body;  // bounded by --max-body
    std::string host;  // the Host header, checked
    Poco::URI uri;
    // The route (request_rules.h MatchRoute).
    int camera = -1;   // {camera}
    std::string name;  // {name}
};

}  // namespace vivatool::serve
