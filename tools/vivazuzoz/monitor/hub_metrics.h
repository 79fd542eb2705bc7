// hub_metrics.h - `vivazuzoz serve`'s GET /metrics: the figures of the
// serve command's cameras in the monitor's exposition format (metrics.h).
//
// The hub keeps each camera's newest frame, so the whole frame's
// temperatures come from that frame; the frame rate, losses, returns and time
// away are the cameras' sessions' counts (CameraSession::Counters).
#pragma once

#include "metrics.h"

#include <vivaclient/temperature_unit.h>

#include <Poco/Net/HTTPServerResponse.h>

#include <functional>

namespace vivatool::serve {
class CameraHub;
}

namespace vivatool::monitor {

class HubMetrics {
public:
    // The figures of every camera of `hub` now. Thread-safe.
    std::vector<CameraMetrics> Collect(const serve::CameraHub& hub) const;

    // Answers a GET /metrics with Collect()'s text.
    void Answer(const serve::CameraHub& hub, Poco::Net::HTTPServerResponse& response);

    // The unit of camera `index`'s temperatures (by its index); set before
    // the first Collect(). Without it, cameras' units are unknown.
    std::function<vivaclient::TemperatureUnit(int index)> unitOf;
};

}  // namespace vivatool::monitor
