// http_client.h - a plain HTTP and WebSocket client for the server tests,
// talking to 127.0.0.1 only, with time limits on every call.
#pragma once

#include "frame_message.h"

#include <Poco/Buffer.h>
#include <Poco/JSON/Parser.h>
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/WebSocket.h>
#include <Poco/StreamCopier.h>
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <sstream>
#include <string>

struct Reply {
    int status = 0;
    std::string body;
    std::map<std::string, std::string> headers;
};

struct RequestSetup {
    std::string method = "GET";
    std::string path = "/";
    std::string body;
    bool chunked = false;
    std::string host;  // "": the server's own address
    std::map<std::string, std::string> headers;
};

inline Reply Send(uint16_t port, const RequestSetup& setup)
{
    Poco::Net::HTTPClientSession session("127.0.0.1", port);
    session.setTimeout(Poco::Timespan(30, 0));
    Poco::Net::HTTPRequest request(setup.method, setup.path, Poco::Net::HTTPMessage::HTTP_1_1);
    if (!setup.host.empty())
        request.setHost(setup.host);
    for (const auto& [name, value] : setup.headers)
        request.set(name, value);
    if (setup.chunked)
        request.setChunkedTransferEncoding(true);
    else if (!setup.body.empty() || setup.method == "PUT" || setup.method == "POST")
        request.setContentLength(static_cast<std::streamsize>(setup.body.size()));
    session.sendRequest(request) << setup.body;
    Poco::Net::HTTPResponse response;
    Reply reply;
    std::istream& in = session.receiveResponse(response);
    reply.status = response.getStatus();
    for (const auto& [name, value] : response)
        reply.headers[name] = value;
    std::ostringstream body;
    Poco::StreamCopier::copyStream(in, body);
    reply.body = body.str();
    return reply;
}

inline Reply Get(uint16_t port, const std::string& path)
{
    RequestSetup setup;
    setup.path = path;
    return Send(port, setup);
}

inline Reply Put(uint16_t port, const std::string& path, const std::string& body)
{
    RequestSetup setup;
    setup.method = "PUT";
    setup.path = path;
    setup.body = body;
    return Send(port, setup);
}

// A stream's state message for a camera that went: not live, and what its
// session said of the loss.
inline void ExpectGoneState(const std::string& text)
{
    Poco::JSON::Parser parser;
    const auto state = parser.parse(text).extract<Poco::JSON::Object::Ptr>();
    EXPECT_EQ(state->getValue<std::string>("type"), "state") << text;
    EXPECT_FALSE(state->getValue<bool>("live")) << text;
    EXPECT_EQ(state->getValue<std::string>("event"), "lost") << text;
    EXPECT_EQ(state->getValue<std::string>("message").rfind("the camera was lost", 0), 0u) << text;
}

// One WebSocket stream of a camera.
class StreamClient {
public:
    StreamClient(uint16_t port, int camera, const std::map<std::string, std::string>& headers = {})
        : session_("127.0.0.1", port)
    {
        Poco::Net::HTTPRequest request(Poco::Net::HTTPRequest::HTTP_GET,
                                       "/api/cameras/" + std::to_string(camera) + "/stream",
                                       Poco::Net::HTTPMessage::HTTP_1_1);
        for (const auto& [name, value] : headers)
            request.set(name, value);
        socket_ = std::make_unique<Poco::Net::WebSocket>(session_, request, response_);
        socket_->setReceiveTimeout(Poco::Timespan(30, 0));
    }

    // The next message: a frame (binary, header decoded) or a state text.
    struct Message {
        bool binary = false;
        std::string data;
        vivatool::serve::FrameHeader header;
    };
    Message Next()
    {
        Poco::Buffer<char> buffer(0);
        int flags = 0;
        int n = socket_->receiveFrame(buffer, flags);
        // Pings are answered, as browsers do, and are not messages.
        while ((flags & Poco::Net::WebSocket::FRAME_OP_BITMASK) == Poco::Net::WebSocket::FRAME_OP_PING) {
            socket_->sendFrame(buffer.begin(), n,
                               Poco::Net::WebSocket::FRAME_FLAG_FIN | Poco::Net::WebSocket::FRAME_OP_PONG);
            buffer.resize(0);
            n = socket_->receiveFrame(buffer, flags);
        }
        Message message;
        message.data.assign(buffer.begin(), static_cast<size_t>(std::max(n, 0)));
        message.binary = (flags & Poco::Net::WebSocket::FRAME_OP_BITMASK) == Poco::Net::WebSocket::FRAME_OP_BINARY;
        if (n <= 0 && flags == 0)
            throw Poco::Net::ConnectionResetException("stream ended");
        if (message.binary && !vivatool::serve::DecodeFrameHeader(message.data, message.header))
            throw Poco::DataFormatException("not a frame message");
        return message;
    }
    // The next frame, skipping state messages.
    Message NextFrame()
    {
        for (;;) {
            Message m = Next();
            if (m.binary)
                return m;
        }
    }

private:
    Poco::Net::HTTPClientSession session_;
    Poco::Net::HTTPResponse response_;
    std::unique_ptr<Poco::Net::WebSocket> socket_;
};
