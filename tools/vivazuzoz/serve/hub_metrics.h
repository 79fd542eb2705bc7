// hub_metrics.h - `vivazuzoz serve`'s GET /metrics: the figures of the
// serve command's cameras in the exposition format both `serve` and
// `monitor` speak (../metrics.h).
//
// The hub keeps each camera's newest frame, so the whole frame's
// temperatures come from that frame; the frame rate, losses, returns and time
// away are the cameras' sessions' counts (CameraSession::Counters).
#pragma once

#include "../metrics.h"

#include <vivaclient/temperature_unit.h>

#include <functional>
#include <vector>

namespace vivatool::serve {

class CameraHub;
struct Exchange;

class HubMetrics {
public:
    // The figures of every camera of `hub` now. Thread-safe.
    std::vector<CameraMetrics> Collect(const CameraHub& hub) const;

    // The unit of camera `index`'s temperatures (by its index); set before
    // the first Collect(). Without it, cameras' units are unknown.
    std::function<vivaclient::TemperatureUnit(int index)> unitOf;
};

// GET /metrics: Collect()'s text.
void Metrics(Exchange& exchange);

}  // namespace vivatool::serve
