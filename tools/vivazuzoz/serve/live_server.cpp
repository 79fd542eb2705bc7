// The router: admission (admission.h), then the route table below, then
// the route's handler; one file per group of endpoints holds the handlers.
#include "live_server.h"

#include "admission.h"
#include "camera_endpoints.h"
#include "file_endpoints.h"
#include "http_answers.h"
#include "listening.h"
#include "request_rules.h"
#include "server_state.h"
#include "snapshot_endpoints.h"
#include "stream_endpoints.h"
#include "tls_context.h"

#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPRequestHandlerFactory.h>
#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/SecureServerSocket.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/TCPServer.h>
#include <Poco/ThreadPool.h>

namespace vivatool::serve {

using Poco::Net::HTTPResponse;

const std::vector<Route>& ServerRoutes()
{
    // A new endpoint is one row here and its handler in the file of its group.
    // clang-format off
    static const std::vector<Route> routes = {
        // method pattern                                          handler             HEAD as GET
        {"GET",  "/api/settings",                                  ListSettings,       true},
        {"GET",  "/api/colormaps",                                 ListColormaps,      true},
        {"GET",  "/api/cameras",                                   ListCameras,        true},
        {"GET",  "/api/cameras/{camera}/settings",                 ReadSettings,       true},
        {"PUT",  "/api/cameras/{camera}/settings/{name}",          WriteSetting,       false},
        {"POST", "/api/cameras/{camera}/shutter",                  CorrectShutter,     false},
        {"GET",  "/api/cameras/{camera}/snapshot.png",             SnapshotPng,        true},
        {"GET",  "/api/cameras/{camera}/snapshot.jpg",             SnapshotJpeg,       true},
        {"GET",  "/api/cameras/{camera}/temperature.csv",          TemperatureCsvFile, true},
        {"GET",  "/api/cameras/{camera}/stream",                   WebSocketStream,    false},
        {"GET",  "/api/cameras/{camera}/stream.mjpg",              MjpegStream,        true},
        {"GET",  "/metrics",                                       Metrics,            true},
        {"GET",  "/favicon.ico",                                   Favicon,            true},
        {"GET",  "*",                                              StaticFile,         true},
    };
    // clang-format on
    return routes;
}

namespace {

// The route's handler, once the route, its method and its camera are right.
void Dispatch(Exchange& exchange)
{
    auto& response = exchange.response;
    const std::string path = exchange.uri.getPath();
    const RouteMatch match = MatchRoute(ServerRoutes(), path);
    if (match.miss == RouteMiss::BadIndex)
        return SendError(response, HTTPResponse::HTTP_NOT_FOUND, "a camera index is a small whole number");
    if (!match.route)
        return SendError(response, HTTPResponse::HTTP_NOT_FOUND, "no such API path: " + path);
    const Route& route = *match.route;
    const std::string& method = exchange.request.getMethod();
    if (method != route.method && !(route.head && method == "HEAD")) {
        const bool files = std::string(route.pattern) == "*";
        response.set("Allow", std::string(route.method) + (route.head ? ", HEAD" : ""));
        return SendError(response, HTTPResponse::HTTP_METHOD_NOT_ALLOWED,
                         files ? "only GET and HEAD serve the page's files"
                               : path + " takes " + route.method + ", not " + method);
    }
    exchange.camera = match.camera;
    exchange.name = match.name;
    if (exchange.camera >= 0 && !exchange.server.hub.Exists(exchange.camera))
        return SendError(response, HTTPResponse::HTTP_NOT_FOUND, "no camera " + std::to_string(exchange.camera));
    route.handler(exchange);
}

class Handler : public Poco::Net::HTTPRequestHandler {
public:
    explicit Handler(ServerState& server) : server_(server) {}
    void handleRequest(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response) override
    {
        try {
            ConnectionGuard::HeadersRead();
            Exchange exchange(server_, request, response);
            if (Admit(exchange))
                Dispatch(exchange);
        } catch (const Poco::Exception& e) {
            // The client went away or sent something unreadable; nothing to
            // answer if the response has started.
            if (!response.sent())
                SendError(response, HTTPResponse::HTTP_BAD_REQUEST, e.displayText());
        } catch (const std::exception& e) {
            if (!response.sent())
                SendError(response, HTTPResponse::HTTP_INTERNAL_SERVER_ERROR, e.what());
        }
        // The time for the next request's headers runs from here.
        ConnectionGuard::Answered();
    }

private:
    ServerState& server_;
};

class Factory : public Poco::Net::HTTPRequestHandlerFactory {
public:
    explicit Factory(ServerState& server) : server_(server) {}
    Poco::Net::HTTPRequestHandler* createRequestHandler(const Poco::Net::HTTPServerRequest&) override
    {
        return new Handler(server_);
    }

private:
    ServerState& server_;
};

Poco::Net::HTTPServerParams::Ptr ServerParams(int threads)
{
    auto params = Poco::makeAuto<Poco::Net::HTTPServerParams>();
    params->setMaxThreads(threads);
    params->setMaxQueued(threads);
    params->setTimeout(Poco::Timespan(10, 0));
    params->setKeepAlive(true);
    params->setKeepAliveTimeout(Poco::Timespan(5, 0));
    params->setMaxKeepAliveRequests(1000);
    params->setServerName("vivazuzoz");
    return params;
}

ListenLimits LimitsOf(const ServerOptions& options, int threads)
{
    ListenLimits limits;
    limits.maxConnections = threads;
    limits.maxPerAddress = options.maxPerAddress;
    limits.headerTimeout = options.headerTimeout;
    limits.bodyTimeout = options.bodyTimeout;
    limits.streamTimeout = options.sendTimeout;
    return limits;
}

}  // namespace

struct LiveServer::Impl {
    Impl(CameraHub& hub, ServerOptions options) : server(hub, std::move(options)) {}

    ServerState server;
    // Start() and Stop() run on one thread, before and after serving.
    std::unique_ptr<ConnectionGuard> guard;
    std::unique_ptr<Poco::ThreadPool> pool;
    std::unique_ptr<Poco::Net::TCPServer> tcp;
    bool addressInUse = false;

    void Listen();
    void Release();
};

void LiveServer::Impl::Listen()
{
    const ServerOptions& options = server.options;
    Poco::Net::ServerSocket socket;
    if (server.tls)
        socket = Poco::Net::SecureServerSocket(TlsServerContext(options.tlsCertificate, options.tlsKey));
    BindExclusive(socket, options.address, options.port, 128);
    server.port = socket.address().port();
    // One thread per connection: every connection admitted is served at
    // once, none waits in a queue behind another client's.
    const int threads = std::max(options.maxConnections, options.maxStreams + options.spareThreads);
    guard = std::make_unique<ConnectionGuard>(LimitsOf(options, threads));
    const auto params = ServerParams(threads);
    pool = std::make_unique<Poco::ThreadPool>(2, threads);
    tcp = std::make_unique<Poco::Net::TCPServer>(
        guard->Factory(params, Poco::Net::HTTPRequestHandlerFactory::Ptr(new Factory(server))), *pool, socket, params);
    tcp->setConnectionFilter(guard->Filter());
    server.settings = std::make_unique<SettingsCache>(server.hub, options.measureEvery);
    server.settings->Start();
    server.metrics.unitOf = [this](int index) { return server.settings->Unit(index); };
    tcp->start();
}

void LiveServer::Impl::Release()
{
    tcp.reset();
    pool.reset();
    server.settings.reset();
    guard.reset();
}

LiveServer::LiveServer(CameraHub& hub, ServerOptions options) : impl_(std::make_unique<Impl>(hub, std::move(options)))
{
}

LiveServer::~LiveServer()
{
    Stop();
}

bool LiveServer::Start(std::string& error)
{
    impl_->addressInUse = false;
    try {
        impl_->Listen();
    } catch (const Poco::Exception& e) {
        const ServerOptions& options = impl_->server.options;
        impl_->addressInUse = AddressInUse(e);
        error = BindFailure(e, options.address, options.port, "serve", "--listen");
        impl_->Release();
        return false;
    }
    return true;
}

uint16_t LiveServer::port() const
{
    return impl_->server.port;
}

void LiveServer::Stop()
{
    Impl& impl = *impl_;
    impl.server.stopping.store(true);
    if (impl.tcp) {
        impl.tcp->stop();
        impl.guard->CutAll();
        impl.pool->joinAll();
    }
    impl.Release();
}

bool LiveServer::addressInUse() const
{
    return impl_->addressInUse;
}

ServerStats LiveServer::stats() const
{
    const ServerState& server = impl_->server;
    ServerStats stats{server.streams.load(), server.framesSent.load(), server.clientsDropped.load()};
    if (impl_->guard) {
        const ConnectionGuard::Counts counts = impl_->guard->counts();
        stats.connections = counts.open;
        stats.connectionsRefused = counts.refused;
        stats.connectionsCut = counts.cut;
        stats.connectionsShed = counts.shed;
    }
    stats.compactPictures = server.compactPictures();
    stats.jpegPictures = impl_->server.jpegFrames.encoded();
    return stats;
}

}  // namespace vivatool::serve
