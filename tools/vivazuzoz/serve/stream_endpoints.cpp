#include "stream_endpoints.h"

#include "../json.h"
#include "admission.h"
#include "http_answers.h"
#include "listening.h"
#include "websocket_send.h"

#include <vivaclient/number_text.h>

#include <Poco/Net/HTTPServerRequestImpl.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/WebSocket.h>
#include <Poco/String.h>

#include <cerrno>
#include <thread>

namespace vivatool::serve {

using Poco::Net::HTTPResponse;
using Poco::Net::WebSocket;
using Clock = std::chrono::steady_clock;

namespace {

Poco::Timespan Timespan(std::chrono::milliseconds duration)
{
    return Poco::Timespan(std::chrono::duration_cast<std::chrono::microseconds>(duration).count());
}

// Whether a stream ended because its client took no data: a send that the
// socket's send timeout cut short (Poco's TimeoutException, or an
// IOException of EAGAIN). Otherwise the client closed the connection, the
// watchdog cut it or the server is stopping. Runs `stream`.
template <typename Stream>
bool RunUntilStalled(Stream&& stream)
{
    try {
        stream();
    } catch (const Poco::TimeoutException&) {
        return true;
    } catch (const Poco::IOException& e) {
        return e.code() == EAGAIN || e.code() == EWOULDBLOCK;
    }
    return false;
}

// One WebSocket client of one camera, on its connection's thread: the
// camera's state when it changes, and each newer frame (raw, or the compact
// stream's messages) at most --max-fps times a second; pings that the
// connection watchdog counts on, and the client's control messages.
class WebSocketStreamer {
public:
    WebSocketStreamer(ServerState& server, int camera, WebSocket& socket, CompactFrames* compact)
        : server_(server),
          camera_(camera),
          socket_(socket),
          compact_(compact),
          interval_(server.options.maxFps > 0 ? std::chrono::duration_cast<Clock::duration>(
                                                    std::chrono::duration<double>(1.0 / server.options.maxFps))
                                              : Clock::duration::zero()),
          // A ping four times per sendTimeout: a client's pong shows it has
          // read everything sent before the ping. One that answers none for
          // sendTimeout is cut by the connection watchdog, even while a send
          // to it is stuck.
          pingEvery_(std::max<Clock::duration>(server.options.sendTimeout / 4, std::chrono::milliseconds(10)))
    {
        socket_.setSendTimeout(Timespan(server.options.sendTimeout));
        socket_.setReceiveTimeout(Poco::Timespan(1, 0));
    }

    void Run()
    {
        CameraView view = server_.hub.View(camera_);
        live_ = view.live;
        SendState(view);
        nextPing_ = Clock::now() + pingEvery_;
        while (!server_.stopping.load()) {
            if (!ReadControl())
                return;
            PingWhenDue();
            if (HeldBack())
                continue;
            view = server_.hub.WaitForChange(camera_, lastSequence_, live_,
                                             std::min(nextPing_, Clock::now() + std::chrono::milliseconds(250)),
                                             server_.stopping);
            if (view.live != live_) {
                live_ = view.live;
                SendState(view);
            }
            if (view.frame && view.frame->sequence() > lastSequence_)
                SendFrame(view.frame);
        }
        socket_.shutdown(WebSocket::WS_ENDPOINT_GOING_AWAY);
    }

private:
    // Control messages from the client: a close ends the stream, a ping gets
    // its pong; anything else is ignored. Under TLS a message may wait
    // already decrypted, which poll() does not see. False: the stream ends.
    bool ReadControl()
    {
        while (socket_.available() > 0 || socket_.poll(Poco::Timespan(0), Poco::Net::Socket::SELECT_READ)) {
            int flags = 0;
            const int n = socket_.receiveFrame(incoming_, sizeof incoming_, flags);
            const int opcode = flags & WebSocket::FRAME_OP_BITMASK;
            if (n <= 0 && flags == 0)
                return false;  // connection closed
            if (opcode == WebSocket::FRAME_OP_CLOSE) {
                socket_.shutdown();
                return false;
            }
            if (opcode == WebSocket::FRAME_OP_PING)
                socket_.sendFrame(incoming_, n, WebSocket::FRAME_FLAG_FIN | WebSocket::FRAME_OP_PONG);
            if (opcode == WebSocket::FRAME_OP_PONG)
                ConnectionGuard::StreamHeard();
        }
        return true;
    }

    void PingWhenDue()
    {
        if (Clock::now() < nextPing_)
            return;
        socket_.sendFrame(nullptr, 0, WebSocket::FRAME_FLAG_FIN | WebSocket::FRAME_OP_PING);
        nextPing_ = Clock::now() + pingEvery_;
    }

    // --max-fps: the next frame is the newest one at the time it is due.
    // True (after a short sleep) while it is not due yet.
    bool HeldBack()
    {
        const Clock::time_point now = Clock::now();
        if (now >= nextSend_)
            return false;
        std::this_thread::sleep_for(std::min<Clock::duration>(nextSend_ - now, std::chrono::milliseconds(100)));
        return true;
    }

    // The camera's state, with what its session last said when it went.
    void SendState(const CameraView& view)
    {
        std::string text = std::string("{\"type\":\"state\",\"live\":") + (view.live ? "true" : "false");
        if (!view.live && view.lastEvent.kind != vivaclient::SessionEvent::Kind::Opened)
            text += ",\"event\":" + JsonString(vivaclient::EventName(view.lastEvent.kind)) +
                    ",\"message\":" + JsonString(view.lastEvent.message) +
                    ",\"time\":" + JsonString(vivaclient::UtcText(view.lastEvent.when));
        text += "}";
        socket_.sendFrame(text.data(), static_cast<int>(text.size()), WebSocket::FRAME_TEXT);
    }

    void SendFrame(const std::shared_ptr<const Frame>& frame)
    {
        if (compact_)
            SendCompact(frame);
        else
            SendBinary(frame->message(), frame->messageSize());
        ++server_.framesSent;
        lastSequence_ = frame->sequence();
        if (interval_ != Clock::duration::zero())
            nextSend_ = std::max(nextSend_ + interval_, Clock::now());
    }

    // The picture of this frame, then the temperatures when newer ones were
    // made since the last sent.
    void SendCompact(const std::shared_ptr<const Frame>& frame)
    {
        if (const auto picture = compact_->Picture(frame))
            SendBinary(picture->bytes.data(), picture->bytes.size());
        const auto temps = compact_->Temperatures(frame);
        if (temps && temps->sequence != lastTemperatures_) {
            SendBinary(temps->bytes.data(), temps->bytes.size());
            lastTemperatures_ = temps->sequence;
        }
    }

    // Over plain TCP the shared bytes go to the socket as they are
    // (websocket_send.h); TLS encrypts them for each client anyway.
    void SendBinary(const char* data, size_t size)
    {
        if (server_.tls)
            socket_.sendFrame(data, static_cast<int>(size), WebSocket::FRAME_BINARY);
        else
            SendBinaryFrame(socket_.impl()->sockfd(), data, size);
    }

    ServerState& server_;
    const int camera_;
    WebSocket& socket_;
    CompactFrames* const compact_;    // null: raw frames
    const Clock::duration interval_;  // --max-fps's, or zero
    const Clock::duration pingEvery_;
    bool live_ = false;              // as last told to the client
    uint64_t lastSequence_ = 0;      // of the frame last sent
    uint64_t lastTemperatures_ = 0;  // of the compact temperatures last sent
    Clock::time_point nextSend_ = Clock::now();
    Clock::time_point nextPing_;
    char incoming_[512];
};

// ?mode=compact: the compact stream; ?mode=raw or none: raw frames. False
// once the response says the mode is not one of them.
bool CompactWanted(Exchange& exchange, bool& compact)
{
    compact = false;
    for (const auto& [key, value] : exchange.uri.getQueryParameters()) {
        if (key != "mode")
            continue;
        if (value != "raw" && value != "compact") {
            SendError(exchange.response, HTTPResponse::HTTP_BAD_REQUEST,
                      "mode must be raw or compact, not '" + value + "'");
            return false;
        }
        compact = value == "compact";
    }
    return true;
}

}  // namespace

void WebSocketStream(Exchange& exchange)
{
    auto& request = exchange.request;
    auto& response = exchange.response;
    ServerState& server = exchange.server;
    if (Poco::icompare(request.get("Upgrade", ""), "websocket") != 0) {
        response.set("Upgrade", "websocket");
        return SendError(response, HTTPResponse::HTTP_UPGRADE_REQUIRED, "the stream is a WebSocket");
    }
    bool compact = false;
    if (!CompactWanted(exchange, compact))
        return;
    const StreamSlot slot(server.streams, server.options.maxStreams);
    if (!TakeStreamSlot(exchange, slot))
        return;
    std::unique_ptr<WebSocket> socket;
    try {
        socket = std::make_unique<WebSocket>(request, response);
    } catch (const Poco::Net::WebSocketException& e) {
        if (!response.sent())
            SendError(response, HTTPResponse::HTTP_BAD_REQUEST, "WebSocket handshake failed: " + e.message());
        return;
    }
    ConnectionGuard::StreamStarted();
    WebSocketStreamer streamer(server, exchange.camera, *socket, compact ? &server.Compact(exchange.camera) : nullptr);
    if (RunUntilStalled([&streamer] { streamer.Run(); }) || ConnectionGuard::CutByWatchdog())
        ++server.clientsDropped;
}

void MjpegStream(Exchange& exchange)
{
    auto& request = exchange.request;
    auto& response = exchange.response;
    ServerState& server = exchange.server;
    JpegRequest wanted;
    std::string error;
    if (!ParseJpegRequest(exchange.uri, wanted, error))
        return SendError(response, HTTPResponse::HTTP_BAD_REQUEST, error);
    auto* session = dynamic_cast<Poco::Net::HTTPServerRequestImpl*>(&request);
    if (!session)
        return SendError(response, HTTPResponse::HTTP_INTERNAL_SERVER_ERROR, "no connection to stream on");
    // An MJPEG viewer holds a slot as a WebSocket client does.
    const StreamSlot slot(server.streams, server.options.maxStreams);
    if (!TakeStreamSlot(exchange, slot))
        return;
    const std::shared_ptr<JpegFrames> frames = server.jpegFrames.For(exchange.camera, wanted);
    response.setStatusAndReason(HTTPResponse::HTTP_OK);
    response.setChunkedTransferEncoding(false);
    response.setKeepAlive(false);
    response.setContentType(std::string("multipart/x-mixed-replace; boundary=") + kMjpegBoundary);
    response.set("Cache-Control", "no-store");
    response.set("X-Content-Type-Options", "nosniff");
    response.send().flush();
    if (request.getMethod() == Poco::Net::HTTPRequest::HTTP_HEAD)
        return;  // the header alone
    Poco::Net::StreamSocket& socket = session->socket();
    // A few pictures in flight at most: a viewer that falls behind blocks
    // the send, and is dropped after sendTimeout, before much piles up.
    socket.setSendBufferSize(256 * 1024);
    socket.setSendTimeout(Timespan(server.options.sendTimeout));
    if (RunUntilStalled([&] { SendMjpeg(socket, server.hub, exchange.camera, *frames, server.stopping); }))
        ++server.clientsDropped;
}

}  // namespace vivatool::serve
