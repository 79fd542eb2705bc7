// metrics_server.h - the small HTTP server of `monitor --metrics ADDR:PORT`:
// GET /metrics answers RenderMetrics() of the figures a callback gives;
// every other path is 404.
#pragma once

#include "metrics.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vivatool::monitor {

class MetricsServer {
public:
    using Source = std::function<std::vector<CameraMetrics>()>;

    // Listens on `address`:`port` (port 0: a free one) for this process
    // alone. Null, with `error` set, when the address cannot be bound, and
    // `*addressInUse` (when given) telling whether another program holds the
    // port. `source` runs on the server's threads and must be thread-safe.
    static std::unique_ptr<MetricsServer> Start(const std::string& address, int port, Source source, std::string& error,
                                                bool* addressInUse = nullptr);
    ~MetricsServer();  // stops serving; no `source` call runs afterwards

    int port() const;

private:
    struct Impl;
    explicit MetricsServer(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace vivatool::monitor
