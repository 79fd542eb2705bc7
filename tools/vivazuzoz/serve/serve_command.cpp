#include "serve_command.h"

#include "../commands.h"
#include "../client.h"
#include "../listen_address.h"
#include "camera_hub.h"
#include "live_server.h"

#include <Poco/Net/IPAddress.h>
#include <Poco/URI.h>

#include <atomic>
#include <csignal>
#include <thread>

namespace vivatool {

namespace {

int Usage(FILE* err, const std::string& message)
{
    std::fprintf(err, "vivazuzoz serve: %s\nTry 'vivazuzoz serve --help'.\n", message.c_str());
    return kExitUsage;
}

}  // namespace

CommandSyntax ServeSyntax()
{
    return {"serve",
            "Show every camera live in a web browser, with temperatures, settings and snapshots",
            "",
            {{"listen", 'l', "ADDR:PORT", "address and port to listen on (default 127.0.0.1:8080; port 0: any free port)"},
             {"token", 't', "TOKEN", "every request must carry this token (?token=, Authorization: Bearer, X-Token)"},
             {"max-fps", 0, "N", "send each client at most N frames per second (default: every frame)"},
             {"max-clients", 0, "N", "at most N live streams at once (default 16)"},
             {"allow-host", 0, "NAMES", "comma-separated host names accepted in the Host header besides localhost and IP addresses"}},
            0,
            0,
            "Serves a page that shows every camera found, live, false-coloured in the browser, with the\n"
            "temperature under the cursor, the hottest and coldest pixels, a rectangle's min/max/mean, every\n"
            "setting and snapshot downloads. A camera that vanishes is shown as gone and comes back by\n"
            "itself when it is plugged in again.\n"
            "\n"
            "It listens on the loopback interface only unless --listen names another address; then use\n"
            "--token. Requests that change anything from another web origin, and requests whose Host header\n"
            "is not this server's, are refused.\n"
            "\n"
            "API (JSON): GET /api/cameras, GET /api/cameras/N/settings, PUT /api/cameras/N/settings/NAME\n"
            "(value as the body), POST /api/cameras/N/shutter, GET /api/cameras/N/snapshot.png?palette=P,\n"
            "GET /api/cameras/N/temperature.csv, and the WebSocket GET /api/cameras/N/stream.\n"
            "\n"
            "Prints the page's address, then runs until Ctrl-C or SIGTERM, which close every client and\n"
            "camera and exit with 0.\n"};
}

int RunServe(FILE* out, FILE* err, const ParsedArgs& args)
{
    serve::ServerOptions options;
    if (args.has("listen") && !ParseListen(args.value("listen"), options.address, options.port))
        return Usage(err, "--listen takes ADDRESS:PORT with an IP address, e.g. 127.0.0.1:8080, not '" +
                              args.value("listen") + "'");
    options.token = args.value("token");
    if (args.has("token") && options.token.empty())
        return Usage(err, "--token must not be empty");
    if (args.has("max-fps")) {
        const auto fps = ParseDecimal(args.value("max-fps"));
        if (!fps || *fps <= 0 || *fps > 1000)
            return Usage(err, "--max-fps takes a number above 0 up to 1000, not '" + args.value("max-fps") + "'");
        options.maxFps = *fps;
    }
    if (args.has("max-clients")) {
        const auto clients = ParseInteger(args.value("max-clients"));
        if (!clients || *clients < 1 || *clients > 256)
            return Usage(err, "--max-clients takes a whole number from 1 to 256, not '" + args.value("max-clients") + "'");
        options.maxStreams = static_cast<int>(*clients);
    }
    if (args.has("allow-host")) {
        const std::string names = args.value("allow-host");
        size_t start = 0;
        while (start <= names.size()) {
            const size_t comma = names.find(',', start);
            const std::string name = names.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
            if (!name.empty())
                options.extraHosts.push_back(name);
            if (comma == std::string::npos)
                break;
            start = comma + 1;
        }
    }

    LibrarySession library;
    serve::CameraHub hub(library);
    const Call search = hub.Start();
    if (!search.ok()) {
        std::fprintf(err, "vivazuzoz: %s\n", DescribeFailure(search).c_str());
        return kExitFailure;
    }
    InterruptGuard signals({/*secondSignalKills=*/false, /*ignoreFileSizeLimit=*/false, /*restartCalls=*/true});
    serve::LiveServer server(hub, options);
    std::string error;
    if (!server.Start(error)) {
        std::fprintf(err, "vivazuzoz: %s\n", error.c_str());
        return kExitFailure;
    }
    Poco::Net::IPAddress ip;
    if (Poco::Net::IPAddress::tryParse(options.address, ip) && !ip.isLoopback() && options.token.empty())
        std::fprintf(err, "vivazuzoz: warning: listening on %s without --token: anyone who can reach it can watch "
                          "the cameras and change their settings\n", options.address.c_str());
    const size_t cameras = hub.Cameras().size();
    std::string query;
    if (!options.token.empty()) {
        Poco::URI::encode(options.token, "!#$&'()*+,/:;=?@[]% ", query);
        query = "?token=" + query;
    }
    std::fprintf(out, "Serving %zu camera%s at http://%s/%s\n", cameras, cameras == 1 ? "" : "s",
                 UrlHost(options.address, server.port()).c_str(),
                 query.c_str());
    std::fflush(out);

    while (!Interrupted()) {
        hub.Maintain();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    server.Stop();
    hub.Close();
    return kExitOk;
}

}  // namespace vivatool
