// hub_metrics.h - `vivazuzoz serve`'s GET /metrics: the figures of the
// serve command's cameras in the monitor's exposition format (metrics.h).
//
// The hub keeps each camera's newest frame, so the whole frame's
// temperatures come from that frame; the frame rate is measured between two
// scrapes, and losses, returns and time away are the cameras' sessions' counts.
#pragma once

#include "metrics.h"

#include <temperature_unit.h>

#include <Poco/Net/HTTPServerResponse.h>

#include <functional>
#include <map>
#include <mutex>

namespace vivatool::serve {
class CameraHub;
}

namespace vivatool::monitor {

class HubMetrics {
public:
    // The figures of every camera of `hub` now. Thread-safe.
    std::vector<CameraMetrics> Collect(const serve::CameraHub& hub);

    // Answers a GET /metrics with Collect()'s text.
    void Answer(const serve::CameraHub& hub, Poco::Net::HTTPServerResponse& response);

    // The unit of camera `index`'s temperatures (by its index); set before
    // the first Collect(). Without it, cameras' units are unknown.
    std::function<vivaclient::TemperatureUnit(int index)> unitOf;

private:
    struct Seen {
        uint64_t sequence = 0;
        double timestampMs = 0;
        double fps = 0;
    };
    std::mutex mutex_;
    std::map<int, Seen> seen_;  // by camera index; guarded by mutex_
};

}  // namespace vivatool::monitor
