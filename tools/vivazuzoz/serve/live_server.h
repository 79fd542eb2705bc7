// live_server.h - the HTTP and WebSocket server of `vivazuzoz serve`: the
// page, the JSON API and one frame stream per camera and client.
#pragma once

#include "camera_hub.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vivatool::serve {

struct ServerOptions {
    std::string address = "127.0.0.1";    // IP address to listen on
    uint16_t port = 8080;                 // 0: any free port
    std::string token;                    // "": no token needed
    double maxFps = 0;                    // frames per second per client; 0: as the camera sends them
    int maxStreams = 16;                  // WebSocket streams open at once
    int spareThreads = 8;                 // connections served besides the streams
    std::vector<std::string> extraHosts;  // host names accepted besides localhost and IP addresses
    size_t maxBody = 4096;                // bytes of a request body
    // A stream client that takes no data (answers no ping) for this long is dropped.
    std::chrono::milliseconds sendTimeout{10000};
    int maxConnections = 128;                        // connections open at once, streams included
    int maxPerAddress = 32;                          // of them from one client address
    std::chrono::milliseconds headerTimeout{10000};  // to send a request's headers, and between requests
    std::chrono::milliseconds bodyTimeout{10000};    // to send a request's body
    std::chrono::milliseconds measureEvery{2000};    // detector and camera temperature read again
    // HTTPS and WSS with this certificate (PEM, intermediates after it) and
    // key (PEM, no passphrase); "": plain HTTP.
    std::string tlsCertificate;
    std::string tlsKey;
};

// Counters for tests and diagnostics.
struct ServerStats {
    int streams = 0;                  // WebSocket streams open now
    uint64_t framesSent = 0;          // frames sent on all streams
    uint64_t clientsDropped = 0;      // streams ended because a client took no data
    int connections = 0;              // connections open now
    uint64_t connectionsRefused = 0;  // closed as they came, over a cap
    uint64_t connectionsCut = 0;      // closed for overrunning a time limit
    uint64_t connectionsShed = 0;     // waiting for headers, closed at the cap to admit a newer one
    uint64_t compactPictures = 0;     // compact stream pictures encoded, all cameras
    uint64_t jpegPictures = 0;        // MJPEG and snapshot pictures encoded, all cameras
};

struct Route;

// The server's route table (request_rules.h Route): the method, the path
// pattern and the handler of every endpoint.
const std::vector<Route>& ServerRoutes();

class LiveServer {
public:
    LiveServer(CameraHub& hub, ServerOptions options);
    ~LiveServer();  // Stop()
    LiveServer(const LiveServer&) = delete;
    LiveServer& operator=(const LiveServer&) = delete;

    // Binds and starts serving; false with a message when it cannot.
    bool Start(std::string& error);
    // After a failed Start(): whether another program listens on the port.
    bool addressInUse() const;
    // The port listened on (after Start).
    uint16_t port() const;
    // Closes every connection and waits for the server's threads.
    void Stop();

    ServerStats stats() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace vivatool::serve
