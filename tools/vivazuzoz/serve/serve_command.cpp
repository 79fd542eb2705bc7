#include "serve_command.h"

#include <vivaclient/camera.h>
#include <vivaclient/camera_session.h>
#include <vivaclient/interrupt.h>
#include <vivaclient/number_text.h>
#include <vivaclient/result_text.h>
#include "../listen_address.h"
#include "../service_notify.h"
#include "../tls_certificate.h"
#include "../tool_support.h"
#include "../watches.h"
#include "camera_hub.h"
#include "listening.h"
#include "live_server.h"

#include <Poco/Net/IPAddress.h>
#include <Poco/URI.h>

#include <thread>

namespace vivatool {
using namespace vivaclient;

namespace {

const char* const kCommand = "serve";

// The limits on clients and the host names besides the usual ones. Returns
// kExitOk or the status of a usage error it has reported.
int ParseLimits(Context& ctx, const ParsedArgs& args, serve::ServerOptions& options)
{
    if (args.has("max-fps")) {
        const auto fps = ParseDecimal(args.value("max-fps"));
        if (!fps || *fps <= 0 || *fps > 1000)
            return UsageError(ctx, kCommand,
                              "--max-fps takes a number above 0 up to 1000, not '" + args.value("max-fps") + "'");
        options.maxFps = *fps;
    }
    long long streams = 0, connections = 0, perAddress = 0;
    if (IntegerOption(ctx, kCommand, args, "max-clients", 1, 256, options.maxStreams, streams) ||
        IntegerOption(ctx, kCommand, args, "max-connections", 1, 4096, options.maxConnections, connections) ||
        IntegerOption(ctx, kCommand, args, "max-per-client", 1, 4096, options.maxPerAddress, perAddress))
        return kExitUsage;
    options.maxStreams = static_cast<int>(streams);
    options.maxConnections = static_cast<int>(connections);
    options.maxPerAddress = static_cast<int>(perAddress);
    const std::string names = args.value("allow-host");
    for (size_t start = 0; args.has("allow-host") && start <= names.size();) {
        const size_t comma = std::min(names.find(',', start), names.size());
        if (comma > start)
            options.extraHosts.push_back(names.substr(start, comma - start));
        start = comma + 1;
    }
    return kExitOk;
}

// --tls-cert and --tls-key, or --tls-self-signed (made now if need be).
// Returns kExitOk or the status of a failure it has reported.
int ParseTls(Context& ctx, const ParsedArgs& args, serve::ServerOptions& options, TlsFiles& tls)
{
    if (const int status = TlsOption(ctx, kCommand, args, options.address, tls))
        return status;
    options.tlsCertificate = tls.certificate;
    options.tlsKey = tls.key;
    return kExitOk;
}

// Every option of the command line. Returns kExitOk or the status of a
// failure it has reported.
int ParseServeOptions(Context& ctx, const ParsedArgs& args, ShutterPolicy& shutter, serve::ServerOptions& options,
                      TlsFiles& tls)
{
    if (const int status = ParseShutterPolicy(ctx, kCommand, args, shutter))
        return status;
    if (const int status = ListenOption(ctx, kCommand, args, options.address, options.port))
        return status;
    if (const int status = TokenOption(ctx, kCommand, args, options.token))
        return status;
    if (const int status = ParseLimits(ctx, args, options))
        return status;
    return ParseTls(ctx, args, options, tls);
}

// The page's address on every host it can be reached at, and the
// certificate's fingerprint with TLS.
void PrintAddresses(FILE* out, const serve::ServerOptions& options, const TlsFiles& tls, size_t cameras, uint16_t port)
{
    std::string query;
    if (!options.token.empty()) {
        Poco::URI::encode(options.token, "!#$&'()*+,/:;=?@[]% ", query);
        query = "?token=" + query;
    }
    // On every interface: the machine's addresses, which other machines can
    // use, the first on the first line and the others after it.
    const std::vector<std::string> hosts = ReachableHosts(options.address);
    const std::string at = ":" + std::to_string(port);
    const char* scheme = tls.enabled() ? "https" : "http";
    std::fprintf(out, "Serving %zu camera%s at %s://%s%s/%s\n", cameras, cameras == 1 ? "" : "s", scheme,
                 hosts.front().c_str(), at.c_str(), query.c_str());
    for (size_t i = 1; i < hosts.size(); ++i)
        std::fprintf(out, "  also at %s://%s%s/%s\n", scheme, hosts[i].c_str(), at.c_str(), query.c_str());
    PrintTlsCertificate(out, tls);
    std::fflush(out);
}

// The hub's upkeep until SIGINT or SIGTERM, with systemd told meanwhile
// that the server is ready and well.
void ServeUntilInterrupted(Context& ctx, serve::CameraHub& hub, size_t cameras, uint16_t port)
{
    Heartbeat serving;
    ServiceNotifier service(ctx.err);
    service.Ready("serving " + std::to_string(cameras) + " camera(s) on port " + std::to_string(port),
                  [&serving, &hub] { return std::min(serving.last(), hub.Progress()); });
    while (!Interrupted()) {
        serving.Beat();
        hub.Maintain();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    service.Stopping();
}

}  // namespace

CommandSyntax ServeSyntax()
{
    return {
        "serve",
        "Show every camera live in a web browser, with temperatures, settings and snapshots",
        "",
        {{"listen", 'l', "ADDR:PORT", "address and port to listen on (default 127.0.0.1:8080; port 0: any free port)"},
         {"token", 't', "TOKEN",
          "every request must carry this token (?token=, Authorization: Bearer or Basic with any user, X-Token)"},
         {"max-fps", 0, "N", "send each client at most N frames per second (default: every frame)"},
         {"max-clients", 0, "N", "at most N live streams at once (default 16)"},
         {"max-connections", 0, "N", "at most N connections at once, streams included (default 128)"},
         {"max-per-client", 0, "N", "at most N connections at once from one client address (default 32)"},
         {"allow-host", 0, "NAMES",
          "comma-separated host names accepted in the Host header besides localhost and IP addresses"},
         {"tls-cert", 0, "FILE", "serve HTTPS and WSS with this certificate (PEM; intermediate certificates after it)"},
         {"tls-key", 0, "FILE", "the certificate's private key (PEM, without a passphrase)"},
         {"tls-self-signed", 0, nullptr,
          "serve HTTPS with a self-signed certificate made once and kept in the state folder"},
         VIVAZUZOZ_SHUTTER_OPTIONS},
        0,
        0,
        "Serves a page that shows every camera found, live, false-coloured in the browser, with the\n"
        "temperature under the cursor, the hottest and coldest pixels, a rectangle's min/max/mean, every\n"
        "setting and snapshot downloads. A camera that vanishes is shown as gone and comes back by\n"
        "itself when it is plugged in again.\n"
        "\n"
        "It listens on the loopback interface only unless --listen names another address (0.0.0.0 or\n"
        "[::] for every interface, then it prints the machine's addresses); then use --token. Requests\n"
        "that change anything from another web origin, and requests whose Host header is not this\n"
        "server's, are refused. A client has 10 s to send a request's headers and 10 s for its body; a\n"
        "stream client that takes no data for 10 s is dropped; connections over --max-per-client are\n"
        "closed as they come; at --max-connections the one that has waited longest for its headers is\n"
        "closed to let a new one in.\n"
        "\n"
        "With --tls-cert and --tls-key, or --tls-self-signed, it speaks HTTPS and WSS only. The self-signed\n"
        "certificate is made on first use in $XDG_STATE_HOME/vivazuzoz/tls/ (~/.local/state/...) for\n"
        "localhost, this machine's name and the addresses it prints, and kept; its SHA-256\n"
        "fingerprint is printed so that it can be compared with what a browser shows.\n"
        "\n"
        "API (JSON): GET /api/cameras, GET /api/cameras/N/settings, PUT /api/cameras/N/settings/NAME\n"
        "(value as the body), POST /api/cameras/N/shutter, GET /api/cameras/N/snapshot.png?colormap=C,\n"
        "GET /api/cameras/N/temperature.csv, and the WebSocket GET /api/cameras/N/stream\n"
        "(?mode=compact: a JPEG picture and compressed temperatures, for slow links).\n"
        "GET /api/cameras says per camera whether its newest frame was taken during a shutter\n"
        "correction (\"shutter\") or just after one (\"settling\"), the \"corrections\" so far and the\n"
        "\"seconds_since_correction\"; the page shows a SHUTTER badge meanwhile. --shutter-every and\n"
        "--shutter-on-drift correct every camera on a schedule or when its detector's temperature moved.\n"
        "For players, video recorders, dashboards and <img>: GET /api/cameras/N/stream.mjpg (MJPEG)\n"
        "and GET /api/cameras/N/snapshot.jpg, both with ?colormap=C&fps=F (and &token=T).\n"
        "\n"
        "Prints the page's address, then runs until Ctrl-C or SIGTERM, which close every client and\n"
        "camera and exit with 0. Exits with 4 when another program listens on the port.\n"};
}

int RunServe(Context& ctx, const ParsedArgs& args)
{
    ShutterPolicy shutter;
    serve::ServerOptions options;
    TlsFiles tls;
    if (const int status = ParseServeOptions(ctx, args, shutter, options, tls))
        return status;
    LibrarySession library;
    serve::CameraHub hub(library);
    hub.shutterPolicy = shutter;
    hub.onEvent = [err = ctx.err](int index, const SessionEvent& event) {
        const std::string line = EventLine(event, "streaming");
        if (!line.empty()) {
            std::fprintf(err, "vivazuzoz: camera %d: %s\n", index, line.c_str());
            std::fflush(err);
        }
    };
    if (const Call search = hub.Start(); !search.ok())
        return FailCall(ctx, search);
    InterruptGuard signals({/*secondSignalKills=*/false, /*ignoreFileSizeLimit=*/false, /*restartCalls=*/true});
    serve::LiveServer server(hub, options);
    if (std::string error; !server.Start(error)) {
        Fail(ctx, error);
        return server.addressInUse() ? kExitAddressInUse : kExitFailure;
    }
    if (!IsLoopback(options.address) && options.token.empty())
        std::fprintf(ctx.err,
                     "vivazuzoz: warning: listening on %s without --token: anyone who can reach it can "
                     "watch the cameras and change their settings\n",
                     options.address.c_str());
    const size_t cameras = hub.Cameras().size();
    PrintAddresses(ctx.out, options, tls, cameras, server.port());
    ServeUntilInterrupted(ctx, hub, cameras, server.port());
    server.Stop();
    hub.Close();
    return kExitOk;
}

}  // namespace vivatool
