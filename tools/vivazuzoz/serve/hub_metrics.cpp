#include "hub_metrics.h"

#include "../plane_stats.h"
#include "camera_hub.h"
#include "server_state.h"

namespace vivatool::serve {

std::vector<CameraMetrics> HubMetrics::Collect(const CameraHub& hub) const
{
    std::vector<CameraMetrics> cameras;
    for (const CameraSummary& summary : hub.Cameras()) {
        CameraMetrics m;
        m.camera = std::to_string(summary.index);
        m.name = summary.info.name;
        m.up = summary.live;
        if (unitOf)
            m.unit = unitOf(summary.index).symbol;
        const vivaclient::CameraSession::Counters counters = hub.Counters(summary.index);
        TakeSessionCounts(m, counters);
        const CameraView view = hub.View(summary.index);
        if (view.frame)
            m.frames = view.frame->sequence();
        // Temperatures hold their last good values through a shutter correction.
        if (view.lastGood && view.lastGood->temps()) {
            const Frame& good = *view.lastGood;
            const PlaneStats stats = ComputeStats(good.temps(), good.width(), good.height());
            m.withTemps = true;
            m.regions.push_back({"frame", stats.min, stats.max, stats.mean});
        }
        m.fps = summary.live ? counters.recentFps : 0;
        cameras.push_back(std::move(m));
    }
    return cameras;
}

void Metrics(Exchange& exchange)
{
    auto& response = exchange.response;
    const std::string text = RenderMetrics(exchange.server.metrics.Collect(exchange.server.hub));
    response.setContentType(kMetricsContentType);
    response.set("Cache-Control", "no-store");
    response.setContentLength(static_cast<std::streamsize>(text.size()));
    response.send() << text;
}

}  // namespace vivatool::serve
