#include "metrics_server.h"
#include "../listen_address.h"

#include <Poco/Exception.h>
#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPRequestHandlerFactory.h>
#include <Poco/Net/HTTPServer.h>
#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/ThreadPool.h>

#include <cctype>

namespace vivatool::monitor {
using namespace vivaclient;

using Poco::Net::HTTPResponse;
using Poco::Net::HTTPServerRequest;
using Poco::Net::HTTPServerResponse;

namespace {

class MetricsHandler : public Poco::Net::HTTPRequestHandler {
public:
    explicit MetricsHandler(const MetricsServer::Source& source) : source_(source) {}

    void handleRequest(HTTPServerRequest& request, HTTPServerResponse& response) override
    {
        const std::string path = request.getURI().substr(0, request.getURI().find('?'));
        std::string body;
        if (path != "/metrics") {
            response.setStatusAndReason(HTTPResponse::HTTP_NOT_FOUND);
            response.setContentType("text/plain; charset=utf-8");
            body = "only /metrics is served here\n";
        } else if (request.getMethod() != "GET" && request.getMethod() != "HEAD") {
            response.setStatusAndReason(HTTPResponse::HTTP_METHOD_NOT_ALLOWED);
            response.set("Allow", "GET, HEAD");
        } else {
            response.setContentType(kMetricsContentType);
            body = RenderMetrics(source_());
        }
        response.setContentLength(static_cast<std::streamsize>(body.size()));
        std::ostream& out = response.send();
        if (request.getMethod() != "HEAD")
            out << body;
    }

private:
    const MetricsServer::Source& source_;
};

class Factory : public Poco::Net::HTTPRequestHandlerFactory {
public:
    explicit Factory(const MetricsServer::Source& source) : source_(source) {}
    Poco::Net::HTTPRequestHandler* createRequestHandler(const HTTPServerRequest&) override
    {
        return new MetricsHandler(source_);
    }

private:
    const MetricsServer::Source& source_;
};

}  // namespace

struct MetricsServer::Impl {
    Source source;
    Poco::ThreadPool pool{1, 4};
    std::unique_ptr<Poco::Net::HTTPServer> server;
    int port = 0;
};

MetricsServer::MetricsServer(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

MetricsServer::~MetricsServer()
{
    impl_->server->stopAll(true);
    impl_->pool.joinAll();
}

int MetricsServer::port() const
{
    return impl_->port;
}

std::unique_ptr<MetricsServer> MetricsServer::Start(const std::string& address, int port, Source source,
                                                    std::string& error, bool* addressInUse)
{
    auto impl = std::make_unique<Impl>();
    impl->source = std::move(source);
    try {
        Poco::Net::ServerSocket socket = BindExclusive(address, static_cast<uint16_t>(port), 16);
        impl->port = socket.address().port();
        auto params = Poco::makeAuto<Poco::Net::HTTPServerParams>();
        params->setMaxThreads(4);
        params->setKeepAlive(false);
        // A scraper that sends its request slowly, or never, gives its
        // thread back after 10 s.
        params->setTimeout(Poco::Timespan(10, 0));
        impl->server = std::make_unique<Poco::Net::HTTPServer>(new Factory(impl->source), impl->pool, socket, params);
        impl->server->start();
    } catch (const Poco::Exception& e) {
        if (addressInUse)
            *addressInUse = AddressInUse(e);
        error = BindFailure(e, address, static_cast<uint16_t>(port), "monitor", "--metrics");
        return nullptr;
    }
    return std::unique_ptr<MetricsServer>(new MetricsServer(std::move(impl)));
}

}  // namespace vivatool::monitor
