#include "live_server.h"

#include "../json.h"
#include "../monitor/hub_metrics.h"
#include <vivaclient/camera.h>
#include <vivaclient/camera_session.h>
#include <vivaclient/colormaps.h>
#include <vivaclient/frame_stream.h>
#include <vivaclient/number_text.h>
#include <vivaclient/result_text.h>
#include <vivaclient/settings.h>
#include "../temperature_csv.h"
#include "browser_pages.h"
#include "compact_frames.h"
#include "frame_message.h"
#include "listening.h"
#include "mjpeg_stream.h"
#include "png_memory.h"
#include "request_rules.h"
#include "settings_cache.h"
#include "web_assets.h"

#include <VIVAZUZOZ.h>

#include <Poco/Net/Context.h>
#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPRequestHandlerFactory.h>
#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerRequestImpl.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/SSLException.h>
#include <Poco/Net/SecureServerSocket.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/TCPServer.h>
#include <Poco/Net/WebSocket.h>
#include <Poco/ThreadPool.h>
#include <Poco/URI.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cerrno>
#include <map>
#include <thread>

namespace vivatool::serve {
using namespace vivaclient;

namespace {

using Poco::Net::HTTPResponse;
using Poco::Net::HTTPServerRequest;
using Poco::Net::HTTPServerResponse;
using Status = HTTPResponse::HTTPStatus;
using Clock = std::chrono::steady_clock;

const char kTokenCookie[] = "vivazuzoz-token";

// One of the --max-clients stream slots (page streams and MJPEG viewers
// alike), held for the stream's life; not taken when all are in use.
class StreamSlot {
public:
    StreamSlot(std::atomic<int>& open, int most) : open_(open), taken_(++open <= most)
    {
        if (!taken_)
            --open_;
    }
    ~StreamSlot()
    {
        if (taken_)
            --open_;
    }
    StreamSlot(const StreamSlot&) = delete;
    StreamSlot& operator=(const StreamSlot&) = delete;
    bool taken() const { return taken_; }

private:
    std::atomic<int>& open_;
    const bool taken_;
};

void SendBody(HTTPServerResponse& response, Status status, const std::string& type, const std::string& body)
{
    response.setStatusAndReason(status);
    response.setContentType(type);
    response.set("Cache-Control", "no-store");
    response.set("X-Content-Type-Options", "nosniff");
    response.setContentLength(static_cast<std::streamsize>(body.size()));
    response.sendBuffer(body.data(), body.size());
}

void SendJson(HTTPServerResponse& response, const std::string& json, Status status = HTTPResponse::HTTP_OK)
{
    SendBody(response, status, "application/json", json + "\n");
}

// {"error": message, "code": code}: `code` is the library's result code when
// a camera call failed, else the HTTP status.
void SendError(HTTPServerResponse& response, Status status, const std::string& message, int code = 0)
{
    JsonWriter json;
    json.BeginObject().Key("error").String(message).Key("code").Int(code ? code : static_cast<int>(status)).EndObject();
    SendJson(response, json.str(), status);
}

// The HTTP status for a library call that failed with `result`.
Status StatusForResult(int result)
{
    switch (result) {
    case OZL_USB_NOT_SUPPORTED: return HTTPResponse::HTTP_CONFLICT;
    case OZL_USB_INVALID_PARAM: return HTTPResponse::HTTP_BAD_REQUEST;
    case OZL_USB_OPEN_FAILED: return HTTPResponse::HTTP_SERVICE_UNAVAILABLE;
    default: return HTTPResponse::HTTP_BAD_GATEWAY;  // the camera did not answer or answered wrongly
    }
}

void SendCallFailure(HTTPServerResponse& response, const Call& call)
{
    SendError(response, StatusForResult(call.result), DescribeFailure(call), call.result);
}

const char* GroupName(SettingGroup group)
{
    switch (group) {
    case SettingGroup::Camera: return "camera";
    case SettingGroup::Environment: return "environment";
    case SettingGroup::ImageTuning: return "image-tuning";
    case SettingGroup::ReadOnly: return "read-only";
    }
    return "";
}

// TLS 1.2 and 1.3 with the certificate chain and key of `options` (read
// and checked by the command before). Throws Poco::Exception.
Poco::Net::Context::Ptr ServerContext(const ServerOptions& options)
{
    Poco::Net::Context::Params params;
    params.verificationMode = Poco::Net::Context::VERIFY_NONE;  // clients show no certificates
    params.loadDefaultCAs = false;
    params.cipherList = "HIGH:!aNULL:!MD5:!RC4:!3DES:!CAMELLIA:!ARIA:!PSK:!SRP";
    Poco::Net::Context::Ptr context = new Poco::Net::Context(Poco::Net::Context::TLS_SERVER_USE, params);
    context->requireMinimumProtocol(Poco::Net::Context::PROTO_TLSV1_2);
    SSL_CTX* ssl = context->sslContext();
    if (SSL_CTX_use_certificate_chain_file(ssl, options.tlsCertificate.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(ssl, options.tlsKey.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(ssl) != 1) {
        const unsigned long code = ERR_get_error();
        ERR_clear_error();
        const char* reason = ERR_reason_error_string(code);
        throw Poco::Net::SSLContextException("cannot use " + options.tlsCertificate + " and " + options.tlsKey,
                                             reason ? reason : "");
    }
    return context;
}

}  // namespace

struct LiveServer::Impl {
    Impl(CameraHub& h, ServerOptions o) : hub(h), options(std::move(o)), tls(!options.tlsCertificate.empty()) {}

    CameraHub& hub;
    const ServerOptions options;
    const bool tls;  // HTTPS and WSS
    // Set by Stop(); streams look at it at least every 100 ms.
    std::atomic<bool> stopping{false};
    std::atomic<int> streams{0};
    std::atomic<uint64_t> framesSent{0};
    std::atomic<uint64_t> clientsDropped{0};
    monitor::HubMetrics metrics;  // GET /metrics, for Prometheus
    // Start() and Stop() run on one thread, before and after serving.
    std::unique_ptr<ConnectionGuard> guard;
    std::unique_ptr<Poco::ThreadPool> pool;
    std::unique_ptr<Poco::Net::TCPServer> server;
    std::unique_ptr<SettingsCache> settings;
    uint16_t port = 0;
    bool addressInUse = false;

    void Handle(HTTPServerRequest& request, HTTPServerResponse& response);
    bool ReadBody(HTTPServerRequest& request, HTTPServerResponse& response, std::string& body);
    void ServeFile(const std::string& path, const std::string& host, HTTPServerResponse& response);
    // What admission learnt of a request, for dispatch.
    struct Admitted {
        std::string body;
        std::string host;
        Poco::URI uri;
    };
    bool Admit(HTTPServerRequest& request, HTTPServerResponse& response, Admitted& admitted);
    bool TokenAdmitted(HTTPServerRequest& request, HTTPServerResponse& response, const Poco::URI& uri);
    void Dispatch(HTTPServerRequest& request, HTTPServerResponse& response, const Admitted& admitted);
    void ListCameras(HTTPServerResponse& response);
    void ListSettings(HTTPServerResponse& response);
    void ListColormaps(HTTPServerResponse& response);
    void ReadSettings(int camera, HTTPServerResponse& response);
    void WriteSetting(int camera, const std::string& name, const std::string& body, HTTPServerResponse& response);
    void Shutter(int camera, HTTPServerResponse& response);
    void Snapshot(int camera, const Poco::URI& uri, HTTPServerResponse& response);
    void Csv(int camera, HTTPServerResponse& response);
    void Stream(int camera, HTTPServerRequest& request, HTTPServerResponse& response);
    void RunStream(int camera, Poco::Net::WebSocket& socket, bool compact);
    // The compact stream's messages of a camera, shared by its clients.
    CompactFrames& Compact(int camera);
    std::mutex compactMutex;
    std::map<int, std::unique_ptr<CompactFrames>> compact;
    // The MJPEG stream and JPEG snapshot (mjpeg_stream.h).
    JpegFrameCache jpegFrames;
    void MjpegStream(int camera, HTTPServerRequest& request, const Poco::URI& uri, HTTPServerResponse& response);
    void SnapshotJpeg(int camera, const Poco::URI& uri, HTTPServerResponse& response);
    std::shared_ptr<const Frame> LiveFrame(int camera, HTTPServerResponse& response);
    struct DecodedFrame {
        std::shared_ptr<const Frame> frame;
        std::vector<uint16_t> image;
        std::vector<int16_t> temp;
    };
    bool LiveDecodedFrame(int camera, HTTPServerResponse& response, DecodedFrame& decoded);
};

namespace {

class Handler : public Poco::Net::HTTPRequestHandler {
public:
    explicit Handler(LiveServer::Impl& impl) : impl_(impl) {}
    void handleRequest(HTTPServerRequest& request, HTTPServerResponse& response) override
    {
        try {
            ConnectionGuard::HeadersRead();
            impl_.Handle(request, response);
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
    LiveServer::Impl& impl_;
};

class Factory : public Poco::Net::HTTPRequestHandlerFactory {
public:
    explicit Factory(LiveServer::Impl& impl) : impl_(impl) {}
    Poco::Net::HTTPRequestHandler* createRequestHandler(const HTTPServerRequest&) override { return new Handler(impl_); }

private:
    LiveServer::Impl& impl_;
};

}  // namespace

void LiveServer::Impl::Handle(HTTPServerRequest& request, HTTPServerResponse& response)
{
    Admitted admitted;
    if (Admit(request, response, admitted))
        Dispatch(request, response, admitted);
}

// Admission: the body (bounded), the Host header, the URI's length and path,
// the token and, for requests that change something or open a stream, the
// origin. Answers and returns false for a request that goes no further.
bool LiveServer::Impl::Admit(HTTPServerRequest& request, HTTPServerResponse& response, Admitted& admitted)
{
    // The (bounded) body first, so that whatever the answer, the connection
    // is left at the start of the next request.
    if (!ReadBody(request, response, admitted.body))
        return false;
    ConnectionGuard::BodyRead();

    admitted.host = request.get("Host", "");
    if (!HostAllowed(admitted.host, port, options.extraHosts))
        return SendError(response, HTTPResponse::HTTP_FORBIDDEN,
                         "Host header '" + admitted.host + "' is not this server's; use localhost or an IP address"),
               false;

    const std::string rawUri = request.getURI();
    if (rawUri.size() > 2048)
        return SendError(response, HTTPResponse::HTTP_REQUEST_URI_TOO_LONG, "request URI too long"), false;
    const std::string rawPath = rawUri.substr(0, rawUri.find('?'));
    if (rawPath.empty() || rawPath[0] != '/' || PathTraverses(rawPath))
        return SendError(response, HTTPResponse::HTTP_BAD_REQUEST, "path not allowed"), false;
    admitted.uri = Poco::URI(rawUri);

    if (!TokenAdmitted(request, response, admitted.uri))
        return false;

    const std::string& method = request.getMethod();
    const bool upgrade = Poco::icompare(request.get("Upgrade", ""), "websocket") == 0;
    const bool changes = method != "GET" && method != "HEAD";
    if ((changes || upgrade) && !OriginAllowed(request.get("Origin", ""), admitted.host, tls))
        return SendError(response, HTTPResponse::HTTP_FORBIDDEN, "request from another origin refused"), false;
    return true;
}

// With a token set: the request carries it (request_rules.h TokenGiven:
// query, Authorization Bearer or Basic, X-Token, or the cookie set when the
// page was loaded with ?token=).
bool LiveServer::Impl::TokenAdmitted(HTTPServerRequest& request, HTTPServerResponse& response, const Poco::URI& uri)
{
    if (options.token.empty() || uri.getPath() == "/favicon.ico")
        return true;
    Credentials credentials;
    for (const auto& [key, value] : uri.getQueryParameters())
        if (key == "token")
            credentials.query = value;
    credentials.authorization = request.get("Authorization", "");
    credentials.xToken = request.get("X-Token", "");
    credentials.cookie = request.get("Cookie", "");
    const std::string given = TokenGiven(credentials, kTokenCookie);
    if (!TokenMatches(options.token, given)) {
        // A browser that opens the page without the token gets a page that
        // asks for it; programs get JSON, and the challenge that makes
        // players and video recorders send Basic credentials.
        const std::string& method = request.getMethod();
        if ((method == "GET" || method == "HEAD") && ParseRoute(uri.getPath()).kind == RouteKind::None &&
            request.get("Accept", "").find("text/html") != std::string::npos) {
            response.set("Content-Security-Policy",
                         "default-src 'none'; style-src 'unsafe-inline'; form-action 'self'; frame-ancestors 'none'");
            response.set("Referrer-Policy", "no-referrer");
            SendBody(response, HTTPResponse::HTTP_UNAUTHORIZED, "text/html; charset=utf-8",
                     TokenPageHtml(!given.empty()));
            return false;
        }
        response.set("WWW-Authenticate", "Basic realm=\"vivazuzoz\"");
        return SendError(response, HTTPResponse::HTTP_UNAUTHORIZED,
                         given.empty() ? "a token is needed (?token=, Authorization: Bearer or Basic, or X-Token)"
                                       : "wrong token"),
               false;
    }
    // The page and the files and streams it loads then carry the token as a
    // cookie that other sites' requests do not get (and that goes over TLS
    // only when the server speaks it); the page takes ?token= out of the
    // address bar.
    if (!credentials.query.empty())
        response.set("Set-Cookie", std::string(kTokenCookie) + "=" + options.token +
                                       "; Path=/; HttpOnly; SameSite=Strict" + (tls ? "; Secure" : ""));
    return true;
}

// Dispatch: the page's files, or the API route with its method and camera.
void LiveServer::Impl::Dispatch(HTTPServerRequest& request, HTTPServerResponse& response, const Admitted& admitted)
{
    const std::string path = admitted.uri.getPath();
    const std::string& method = request.getMethod();
    if (path == "/metrics" && method == "GET")
        return metrics.Answer(hub, response);
    const Route route = ParseRoute(path);
    // HEAD is GET without the body (which Poco's response leaves out).
    const bool head = method == "HEAD";
    if (route.kind == RouteKind::None) {
        if (method != "GET" && !head) {
            response.set("Allow", "GET, HEAD");
            return SendError(response, HTTPResponse::HTTP_METHOD_NOT_ALLOWED, "only GET and HEAD serve the page's files");
        }
        if (path == "/favicon.ico") {
            const std::string& icon = FaviconIco();
            response.set("Cache-Control", "max-age=86400");
            response.setContentType("image/x-icon");
            response.setContentLength(static_cast<std::streamsize>(icon.size()));
            return response.sendBuffer(icon.data(), icon.size());
        }
        return ServeFile(path, admitted.host, response);
    }
    if (route.kind == RouteKind::Unknown)
        return SendError(response, HTTPResponse::HTTP_NOT_FOUND, "no such API path: " + path);
    if (route.kind == RouteKind::BadIndex)
        return SendError(response, HTTPResponse::HTTP_NOT_FOUND, "a camera index is a small whole number");
    if (method != route.method() &&
        !(head && std::string(route.method()) == "GET" && route.kind != RouteKind::Stream)) {
        response.set("Allow", route.method());
        return SendError(response, HTTPResponse::HTTP_METHOD_NOT_ALLOWED,
                         path + " takes " + route.method() + ", not " + method);
    }
    if (route.camera >= 0 && !hub.Exists(route.camera))
        return SendError(response, HTTPResponse::HTTP_NOT_FOUND, "no camera " + std::to_string(route.camera));

    switch (route.kind) {
    case RouteKind::Settings: return ListSettings(response);
    case RouteKind::Colormaps: return ListColormaps(response);
    case RouteKind::Cameras: return ListCameras(response);
    case RouteKind::CameraSettings: return ReadSettings(route.camera, response);
    case RouteKind::CameraSetting: return WriteSetting(route.camera, route.setting, admitted.body, response);
    case RouteKind::Shutter: return Shutter(route.camera, response);
    case RouteKind::SnapshotPng: return Snapshot(route.camera, admitted.uri, response);
    case RouteKind::TemperatureCsv: return Csv(route.camera, response);
    case RouteKind::Stream: return Stream(route.camera, request, response);
    case RouteKind::MjpegStream: return MjpegStream(route.camera, request, admitted.uri, response);
    case RouteKind::SnapshotJpeg: return SnapshotJpeg(route.camera, admitted.uri, response);
    default: return SendError(response, HTTPResponse::HTTP_NOT_FOUND, "no such API path: " + path);
    }
}

bool LiveServer::Impl::ReadBody(HTTPServerRequest& request, HTTPServerResponse& response, std::string& body)
{
    const auto declared = request.getContentLength64();
    if (declared > static_cast<Poco::Int64>(options.maxBody)) {
        response.setKeepAlive(false);  // the body is left unread
        SendError(response, HTTPResponse::HTTP_REQUEST_ENTITY_TOO_LARGE,
                  "request body larger than " + std::to_string(options.maxBody) + " bytes");
        return false;
    }
    if (declared <= 0 && !request.getChunkedTransferEncoding())
        return true;
    // Read one byte more than allowed, so a chunked body that is too long
    // shows itself without being read to its end.
    body.resize(options.maxBody + 1);
    std::istream& in = request.stream();
    in.read(&body[0], static_cast<std::streamsize>(body.size()));
    body.resize(static_cast<size_t>(in.gcount()));
    // A body cut short (by the client, or by the watchdog for taking too
    // long) is never acted on.
    if (ConnectionGuard::CutByWatchdog())
        return false;
    if (declared > 0 && static_cast<Poco::Int64>(body.size()) < declared) {
        response.setKeepAlive(false);
        SendError(response, HTTPResponse::HTTP_BAD_REQUEST, "request body shorter than its Content-Length");
        return false;
    }
    if (body.size() > options.maxBody) {
        response.setKeepAlive(false);
        SendError(response, HTTPResponse::HTTP_REQUEST_ENTITY_TOO_LARGE,
                  "request body larger than " + std::to_string(options.maxBody) + " bytes");
        return false;
    }
    return true;
}

void LiveServer::Impl::ServeFile(const std::string& path, const std::string& host, HTTPServerResponse& response)
{
    const EmbeddedFile* file = FindEmbeddedFile(path);
    if (!file)
        return SendError(response, HTTPResponse::HTTP_NOT_FOUND, "no such file: " + path);
    response.set("Content-Security-Policy", "default-src 'self'; img-src 'self' data: blob:; connect-src 'self' ws://" +
                                                host + "; frame-ancestors 'none'; base-uri 'none'; form-action 'none'");
    response.set("Referrer-Policy", "no-referrer");
    SendBody(response, HTTPResponse::HTTP_OK, ContentTypeFor(file->path),
             std::string(reinterpret_cast<const char*>(file->data), file->size));
}

// The tool's colour maps, so the page draws with the very tables the tool's
// PNG files use: [{"name", "description", "rgb": [r, g, b, ... 256 times]}],
// the default first.
void LiveServer::Impl::ListColormaps(HTTPServerResponse& response)
{
    JsonWriter json;
    json.BeginArray();
    for (const ColormapInfo& map : Colormaps()) {
        json.BeginObject().Key("name").String(map.name).Key("description").String(map.description).Key("rgb");
        json.BeginArray();
        for (const Rgb& c : map.build())
            json.Int(c.r).Int(c.g).Int(c.b);
        json.EndArray().EndObject();
    }
    json.EndArray();
    SendJson(response, json.str());
}

void LiveServer::Impl::ListCameras(HTTPServerResponse& response)
{
    JsonWriter json;
    json.BeginArray();
    for (const CameraSummary& c : hub.Cameras()) {
        json.BeginObject().Key("index").Int(c.index);
        WriteCameraFields(json, c.info);
        json.Key("width").Int(c.width).Key("height").Int(c.height).Key("radiometric").Bool(c.radiometric);
        WriteUnitFields(json, settings->Unit(c.index));  // what its temperatures are in
        json.Key("live").Bool(c.live);
        // The shutter: whether the newest frame is of a correction, and the corrections so far.
        const CameraSession::Counters counters = hub.Counters(c.index);
        json.Key("shutter").Bool(c.shutter).Key("settling").Bool(c.settling);
        json.Key("corrections").Int(static_cast<long long>(counters.corrections)).Key("seconds_since_correction");
        if (counters.lastCorrection == FrameClock::time_point{})
            json.Null();
        else
            json.Number(std::chrono::duration<double>(FrameClock::now() - counters.lastCorrection).count(), 1);
        json.EndObject();
    }
    json.EndArray();
    SendJson(response, json.str());
}

void LiveServer::Impl::ListSettings(HTTPServerResponse& response)
{
    JsonWriter json;
    json.BeginArray();
    for (const Setting& s : Settings()) {
        json.BeginObject().Key("name").String(s.name).Key("description").String(s.description);
        json.Key("label").String(s.label).Key("unit").String(s.unit);
        json.Key("group").String(GroupName(s.group)).Key("readOnly").Bool(s.readOnly());
        json.Key("integer").Bool(s.isInteger());
        json.Key("temperature").Bool(IsTemperatureSetting(s));  // in the camera's unit (/api/cameras)
        if (!s.readOnly())
            json.Key("min").Number(s.min, s.decimals).Key("max").Number(s.max, s.decimals).Key("range").String(
                SettingRange(s));
        json.EndObject();
    }
    json.EndArray();
    SendJson(response, json.str());
}

// From what the server read when the camera opened (settings_cache.h).
void LiveServer::Impl::ReadSettings(int camera, HTTPServerResponse& response)
{
    std::string json;
    if (!settings->SettingsJson(camera, json, std::chrono::seconds(10)))
        return SendError(response, HTTPResponse::HTTP_SERVICE_UNAVAILABLE,
                         "camera " + std::to_string(camera) + " is not connected");
    SendJson(response, json);
}

void LiveServer::Impl::WriteSetting(int camera, const std::string& name, const std::string& body,
                                    HTTPServerResponse& response)
{
    const Setting* setting = FindSetting(name);
    if (!setting)
        return SendError(response, HTTPResponse::HTTP_NOT_FOUND,
                         "unknown setting '" + name + "'; settings are: " + SettingNames(false));
    if (setting->readOnly())
        return SendError(response, HTTPResponse::HTTP_METHOD_NOT_ALLOWED,
                         "setting '" + name + "' is read-only");
    std::string error;
    const auto value = ParseSettingValue(*setting, SettingBodyValue(body), error);
    if (!value)
        return SendError(response, HTTPResponse::HTTP_BAD_REQUEST, error);
    bool open = true;
    SettingValue stored;
    const Call write = settings->Write(camera, *setting, *value, stored, open);
    if (!open)
        return SendError(response, HTTPResponse::HTTP_SERVICE_UNAVAILABLE,
                         "camera " + std::to_string(camera) + " is not connected");
    if (!write.ok())
        return SendCallFailure(response, write);
    JsonWriter json;
    json.BeginObject().Key("name").String(setting->name).Key("value");
    WriteSettingJson(json, *setting, stored);
    if (IsTemperatureSetting(*setting))
        WriteUnitFields(json, settings->Unit(camera));
    json.EndObject();
    SendJson(response, json.str());
}

void LiveServer::Impl::Shutter(int camera, HTTPServerResponse& response)
{
    // Through the session: the frames of the correction are flagged and
    // its events told, as for one the camera makes on its own.
    const Call call{"OZL_USB_CorrectShutter", hub.CorrectShutter(camera)};
    if (call.result == OZL_USB_INVALID_PARAM)
        return SendError(response, HTTPResponse::HTTP_SERVICE_UNAVAILABLE,
                         "camera " + std::to_string(camera) + " is not connected");
    if (!call.ok())
        return SendCallFailure(response, call);
    SendJson(response, "{\"ok\":true}");
}

std::shared_ptr<const Frame> LiveServer::Impl::LiveFrame(int camera, HTTPServerResponse& response)
{
    CameraView view = hub.View(camera);
    if (view.live && !view.frame)  // just opened: the first frame is on its way
        view = hub.WaitForChange(camera, 0, true, Clock::now() + kStallLimit, stopping);
    if (!view.live || !view.frame) {
        SendError(response, HTTPResponse::HTTP_SERVICE_UNAVAILABLE,
                  "camera " + std::to_string(camera) + (view.live ? " sent no frame yet" : " is not connected"));
        return nullptr;
    }
    return view.frame;
}

// The camera's latest frame with its planes decoded; false once the response
// carries the reason there is none.
bool LiveServer::Impl::LiveDecodedFrame(int camera, HTTPServerResponse& response, DecodedFrame& decoded)
{
    decoded.frame = LiveFrame(camera, response);
    if (!decoded.frame)
        return false;
    FrameHeader header;
    if (!DecodeFrame(decoded.frame->message, header, decoded.image, decoded.temp)) {
        SendError(response, HTTPResponse::HTTP_INTERNAL_SERVER_ERROR, "damaged frame message");
        return false;
    }
    return true;
}

void LiveServer::Impl::Snapshot(int camera, const Poco::URI& uri, HTTPServerResponse& response)
{
    std::string error;
    const ColormapInfo* palette = QueryColormap(uri, error);
    if (!palette)
        return SendError(response, HTTPResponse::HTTP_BAD_REQUEST, error);
    DecodedFrame decoded;
    if (!LiveDecodedFrame(camera, response, decoded))
        return;
    const Frame* frame = decoded.frame.get();
    const std::vector<int16_t>& temp = decoded.temp;
    const std::vector<uint16_t>& image = decoded.image;
    const std::vector<uint8_t> rgb = frame->withTemp
                                         ? Colourise(temp.data(), frame->width, frame->height, palette->build())
                                         : Colourise(image.data(), frame->width, frame->height, palette->build());
    std::string png;
    if (!EncodePng(frame->width, frame->height, rgb, png, error))
        return SendError(response, HTTPResponse::HTTP_INTERNAL_SERVER_ERROR, error);
    response.set("Content-Disposition",
                 "attachment; filename=\"camera" + std::to_string(camera) + "-" + palette->name + ".png\"");
    SendBody(response, HTTPResponse::HTTP_OK, "image/png", png);
}

void LiveServer::Impl::Csv(int camera, HTTPServerResponse& response)
{
    DecodedFrame decoded;
    if (!LiveDecodedFrame(camera, response, decoded))
        return;
    const Frame* frame = decoded.frame.get();
    const std::vector<int16_t>& temp = decoded.temp;
    if (!frame->withTemp)
        return SendError(response, HTTPResponse::HTTP_CONFLICT, "the stream carries no temperatures",
                         OZL_USB_NOT_SUPPORTED);
    response.set("Content-Disposition", "attachment; filename=\"camera" + std::to_string(camera) + ".csv\"");
    SendBody(response, HTTPResponse::HTTP_OK, "text/csv", TemperatureCsv(temp.data(), frame->width, frame->height));
}

void LiveServer::Impl::Stream(int camera, HTTPServerRequest& request, HTTPServerResponse& response)
{
    if (Poco::icompare(request.get("Upgrade", ""), "websocket") != 0) {
        response.set("Upgrade", "websocket");
        return SendError(response, HTTPResponse::HTTP_UPGRADE_REQUIRED, "the stream is a WebSocket");
    }
    // ?mode=compact: the compact stream (compact_frames.h); ?mode=raw or
    // none: raw frames.
    bool compactMode = false;
    for (const auto& [key, value] : Poco::URI(request.getURI()).getQueryParameters()) {
        if (key != "mode")
            continue;
        if (value != "raw" && value != "compact")
            return SendError(response, HTTPResponse::HTTP_BAD_REQUEST,
                             "mode must be raw or compact, not '" + value + "'");
        compactMode = value == "compact";
    }
    const StreamSlot slot(streams, options.maxStreams);
    if (!slot.taken())
        return SendError(response, HTTPResponse::HTTP_SERVICE_UNAVAILABLE,
                         "too many streams open (at most " + std::to_string(options.maxStreams) + ")");
    std::unique_ptr<Poco::Net::WebSocket> socket;
    try {
        socket = std::make_unique<Poco::Net::WebSocket>(request, response);
    } catch (const Poco::Net::WebSocketException& e) {
        if (!response.sent())
            SendError(response, HTTPResponse::HTTP_BAD_REQUEST, "WebSocket handshake failed: " + e.message());
        return;
    }
    ConnectionGuard::StreamStarted();
    bool stalled = false;
    try {
        RunStream(camera, *socket, compactMode);
    } catch (const Poco::TimeoutException&) {
        stalled = true;  // the client took no data for sendTimeout
    } catch (const Poco::IOException& e) {
        // A send that the socket's send timeout cut short reports EAGAIN.
        // Otherwise the client closed the connection, the watchdog cut it or
        // the server is stopping.
        stalled = e.code() == EAGAIN || e.code() == EWOULDBLOCK;
    }
    if (stalled || ConnectionGuard::CutByWatchdog())
        ++clientsDropped;
}

void LiveServer::Impl::RunStream(int camera, Poco::Net::WebSocket& socket, bool compactMode)
{
    CompactFrames* compactFrames = compactMode ? &Compact(camera) : nullptr;
    uint64_t lastTemperatures = 0;
    using Poco::Net::WebSocket;
    socket.setSendTimeout(Poco::Timespan(std::chrono::duration_cast<std::chrono::microseconds>(options.sendTimeout).count()));
    socket.setReceiveTimeout(Poco::Timespan(1, 0));
    const auto interval = options.maxFps > 0 ? std::chrono::duration_cast<Clock::duration>(
                                                   std::chrono::duration<double>(1.0 / options.maxFps))
                                             : Clock::duration::zero();
    // The camera's state, with what its session last said when it went.
    auto sendState = [&socket](const CameraView& view) {
        std::string text = std::string("{\"type\":\"state\",\"live\":") + (view.live ? "true" : "false");
        if (!view.live && view.lastEvent.kind != SessionEvent::Kind::Opened)
            text += ",\"event\":" + JsonString(EventName(view.lastEvent.kind)) +
                    ",\"message\":" + JsonString(view.lastEvent.message) +
                    ",\"time\":" + JsonString(UtcText(view.lastEvent.when));
        text += "}";
        socket.sendFrame(text.data(), static_cast<int>(text.size()), WebSocket::FRAME_TEXT);
    };
    CameraView view = hub.View(camera);
    bool live = view.live;
    sendState(view);
    uint64_t lastSequence = 0;
    Clock::time_point nextSend = Clock::now();
    // A ping four times per sendTimeout: a client's pong shows it has read
    // everything sent before the ping. One that answers none for sendTimeout
    // is cut by the connection watchdog, even while a send to it is stuck.
    const auto pingEvery = std::max<Clock::duration>(options.sendTimeout / 4, std::chrono::milliseconds(10));
    Clock::time_point nextPing = Clock::now() + pingEvery;
    char incoming[512];
    while (!stopping.load()) {
        // Control messages from the client: a close ends the stream, a ping
        // gets its pong; anything else is ignored. Under TLS a message may
        // wait already decrypted, which poll() does not see.
        while (socket.available() > 0 || socket.poll(Poco::Timespan(0), Poco::Net::Socket::SELECT_READ)) {
            int flags = 0;
            const int n = socket.receiveFrame(incoming, sizeof incoming, flags);
            const int opcode = flags & WebSocket::FRAME_OP_BITMASK;
            if (n <= 0 && flags == 0)
                return;  // connection closed
            if (opcode == WebSocket::FRAME_OP_CLOSE) {
                socket.shutdown();
                return;
            }
            if (opcode == WebSocket::FRAME_OP_PING)
                socket.sendFrame(incoming, n, WebSocket::FRAME_FLAG_FIN | WebSocket::FRAME_OP_PONG);
            if (opcode == WebSocket::FRAME_OP_PONG)
                ConnectionGuard::StreamHeard();
        }
        if (Clock::now() >= nextPing) {
            socket.sendFrame(nullptr, 0, WebSocket::FRAME_FLAG_FIN | WebSocket::FRAME_OP_PING);
            nextPing = Clock::now() + pingEvery;
        }
        // --max-fps: the next frame is the newest one at the time it is due.
        if (Clock::now() < nextSend) {
            std::this_thread::sleep_for(std::min<Clock::duration>(nextSend - Clock::now(), std::chrono::milliseconds(100)));
            continue;
        }
        view = hub.WaitForChange(camera, lastSequence, live,
                                 std::min(nextPing, Clock::now() + std::chrono::milliseconds(250)), stopping);
        if (view.live != live) {
            live = view.live;
            sendState(view);
        }
        if (view.frame && view.frame->sequence > lastSequence) {
            if (compactFrames) {
                // The picture of this frame, then the temperatures when newer
                // ones were made since the last sent.
                if (const auto picture = compactFrames->Picture(view.frame))
                    socket.sendFrame(picture->bytes.data(), static_cast<int>(picture->bytes.size()),
                                     WebSocket::FRAME_BINARY);
                const auto temps = compactFrames->Temperatures(view.frame);
                if (temps && temps->sequence != lastTemperatures) {
                    socket.sendFrame(temps->bytes.data(), static_cast<int>(temps->bytes.size()),
                                     WebSocket::FRAME_BINARY);
                    lastTemperatures = temps->sequence;
                }
            } else {
                const std::string& message = view.frame->message;
                socket.sendFrame(message.data(), static_cast<int>(message.size()), WebSocket::FRAME_BINARY);
            }
            ++framesSent;
            lastSequence = view.frame->sequence;
            if (interval != Clock::duration::zero())
                nextSend = std::max(nextSend + interval, Clock::now());
        }
    }
    socket.shutdown(WebSocket::WS_ENDPOINT_GOING_AWAY);
}

CompactFrames& LiveServer::Impl::Compact(int camera)
{
    std::lock_guard<std::mutex> lock(compactMutex);
    auto& frames = compact[camera];
    if (!frames)
        frames = std::make_unique<CompactFrames>();
    return *frames;
}

void LiveServer::Impl::SnapshotJpeg(int camera, const Poco::URI& uri, HTTPServerResponse& response)
{
    JpegRequest wanted;
    std::string error;
    if (!ParseJpegRequest(uri, wanted, error))
        return SendError(response, HTTPResponse::HTTP_BAD_REQUEST, error);
    const std::shared_ptr<const Frame> frame = LiveFrame(camera, response);
    if (!frame)
        return;
    const auto picture = jpegFrames.For(camera, wanted)->Get(frame);
    if (!picture)
        return SendError(response, HTTPResponse::HTTP_INTERNAL_SERVER_ERROR, "the picture could not be encoded");
    response.set("Content-Disposition", "inline; filename=\"camera" + std::to_string(camera) + "-" +
                                            wanted.colormap->name + ".jpg\"");
    SendBody(response, HTTPResponse::HTTP_OK, "image/jpeg", picture->jpeg);
}

void LiveServer::Impl::MjpegStream(int camera, HTTPServerRequest& request, const Poco::URI& uri,
                                   HTTPServerResponse& response)
{
    JpegRequest wanted;
    std::string error;
    if (!ParseJpegRequest(uri, wanted, error))
        return SendError(response, HTTPResponse::HTTP_BAD_REQUEST, error);
    auto* session = dynamic_cast<Poco::Net::HTTPServerRequestImpl*>(&request);
    if (!session)
        return SendError(response, HTTPResponse::HTTP_INTERNAL_SERVER_ERROR, "no connection to stream on");
    // An MJPEG viewer holds a slot as a WebSocket client does.
    const StreamSlot slot(streams, options.maxStreams);
    if (!slot.taken())
        return SendError(response, HTTPResponse::HTTP_SERVICE_UNAVAILABLE,
                         "too many streams open (at most " + std::to_string(options.maxStreams) + ")");
    const std::shared_ptr<JpegFrames> frames = jpegFrames.For(camera, wanted);
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
    socket.setSendTimeout(
        Poco::Timespan(std::chrono::duration_cast<std::chrono::microseconds>(options.sendTimeout).count()));
    try {
        SendMjpeg(socket, hub, camera, *frames, stopping);
    } catch (const Poco::TimeoutException&) {
        ++clientsDropped;  // the viewer took no data for sendTimeout
    } catch (const Poco::IOException& e) {
        if (e.code() == EAGAIN || e.code() == EWOULDBLOCK)
            ++clientsDropped;
        // Otherwise the viewer closed the connection.
    }
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
    Impl& impl = *impl_;
    const std::string& address = impl.options.address;
    impl.addressInUse = false;
    try {
        Poco::Net::ServerSocket socket;
        if (impl.tls)
            socket = Poco::Net::SecureServerSocket(ServerContext(impl.options));
        BindExclusive(socket, impl.options.address, impl.options.port, 128);
        impl.port = socket.address().port();

        // One thread per connection: every connection admitted is served at
        // once, none waits in a queue behind another client's.
        const int threads = std::max(impl.options.maxConnections, impl.options.maxStreams + impl.options.spareThreads);
        ListenLimits limits;
        limits.maxConnections = threads;
        limits.maxPerAddress = impl.options.maxPerAddress;
        limits.headerTimeout = impl.options.headerTimeout;
        limits.bodyTimeout = impl.options.bodyTimeout;
        limits.streamTimeout = impl.options.sendTimeout;
        impl.guard = std::make_unique<ConnectionGuard>(limits);
        auto params = Poco::makeAuto<Poco::Net::HTTPServerParams>();
        params->setMaxThreads(threads);
        params->setMaxQueued(threads);
        params->setTimeout(Poco::Timespan(10, 0));
        params->setKeepAlive(true);
        params->setKeepAliveTimeout(Poco::Timespan(5, 0));
        params->setMaxKeepAliveRequests(1000);
        params->setServerName("vivazuzoz");
        impl.pool = std::make_unique<Poco::ThreadPool>(2, threads);
        impl.server = std::make_unique<Poco::Net::TCPServer>(
            impl.guard->Factory(params, Poco::Net::HTTPRequestHandlerFactory::Ptr(new Factory(impl))), *impl.pool,
            socket, params);
        impl.server->setConnectionFilter(impl.guard->Filter());
        impl.settings = std::make_unique<SettingsCache>(impl.hub, impl.options.measureEvery);
        impl.settings->Start();
        impl.metrics.unitOf = [&impl](int index) { return impl.settings->Unit(index); };
        impl.server->start();
    } catch (const Poco::Exception& e) {
        impl.addressInUse = AddressInUse(e);
        error = BindFailure(e, address, impl.options.port, "serve", "--listen");
        impl.server.reset();
        impl.pool.reset();
        impl.settings.reset();
        impl.guard.reset();
        return false;
    }
    return true;
}

uint16_t LiveServer::port() const
{
    return impl_->port;
}

void LiveServer::Stop()
{
    Impl& impl = *impl_;
    impl.stopping.store(true);
    if (impl.server) {
        impl.server->stop();
        impl.guard->CutAll();
        impl.pool->joinAll();
        impl.server.reset();
        impl.pool.reset();
    }
    impl.settings.reset();
    impl.guard.reset();
}

bool LiveServer::addressInUse() const
{
    return impl_->addressInUse;
}

ServerStats LiveServer::stats() const
{
    ServerStats stats{impl_->streams.load(), impl_->framesSent.load(), impl_->clientsDropped.load()};
    if (impl_->guard) {
        const ConnectionGuard::Counts counts = impl_->guard->counts();
        stats.connections = counts.open;
        stats.connectionsRefused = counts.refused;
        stats.connectionsCut = counts.cut;
        stats.connectionsShed = counts.shed;
    }
    {
        std::lock_guard<std::mutex> lock(impl_->compactMutex);
        for (const auto& [camera, frames] : impl_->compact)
            stats.compactPictures += frames->picturesEncoded();
    }
    stats.jpegPictures = impl_->jpegFrames.encoded();
    return stats;
}

}  // namespace vivatool::serve
