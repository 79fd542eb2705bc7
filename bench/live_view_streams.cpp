// live_view_streams - what the live view's compact stream saves, measured
// on `vivazuzoz serve` under the virtual camera at 25 frames per second:
//  - bytes a second received by one compact client beside one raw client
//    of the same server, at 640x512 and 1280x1024 (target: compact at most
//    1/20 of raw);
//  - the CPU time of the serve process (the virtual camera included, as it
//    runs in that process) with 16 clients at 1280x1024, all raw, then all
//    compact, beside the same server with no client (target: compact at
//    most a quarter of raw).
//  - with --baseline TOOL, the same 16 raw clients on another build of the
//    tool (the one before a change), runs of the two taking turns, and the
//    ratio of this build's CPU to the baseline's.
// Each figure is measured over a window after the clients have settled; the
// ratios compare figures of the same run. A measurement program: it prints
// figures and asserts none.
//
// Usage: live_view_streams [--seconds S] [--clients N] [--baseline TOOL]
#include <Poco/Buffer.h>
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/WebSocket.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Server {
    pid_t pid = -1;
    uint16_t port = 0;
};

// Starts `vivazuzoz-vcam --size WxH -- vivazuzoz serve` and reads its port
// from the line it prints.
Server StartServer(const std::string& size, const char* tool)
{
    int out[2];
    if (pipe(out) != 0)
        return {};
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        execl(VCAM_RUN_PATH, VCAM_RUN_PATH, "--size", size.c_str(), "--", tool, "serve", "--listen",
              "127.0.0.1:0", "--max-clients", "40", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string line;
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n')
        line += c;
    close(out[0]);
    Server server;
    server.pid = pid;
    const size_t at = line.find("127.0.0.1:");
    if (at != std::string::npos)
        server.port = static_cast<uint16_t>(std::atoi(line.c_str() + at + 10));
    return server;
}

void StopServer(const Server& server)
{
    kill(server.pid, SIGTERM);
    int status = 0;
    waitpid(server.pid, &status, 0);
}

// CPU seconds (user + system) used so far by a process, all its threads.
double CpuSeconds(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14)
            utime = std::stoull(field);
        if (i == 15)
            stime = std::stoull(field);
    }
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

// One WebSocket client that reads everything it is sent.
class Client {
public:
    Client(uint16_t port, bool compact) : compact_(compact)
    {
        thread_ = std::thread([this, port] { Run(port); });
    }
    ~Client()
    {
        stop_ = true;
        thread_.join();
    }
    uint64_t bytes() const { return bytes_.load(); }
    uint64_t messages() const { return messages_.load(); }

private:
    void Run(uint16_t port)
    {
        try {
            Poco::Net::HTTPClientSession session("127.0.0.1", port);
            Poco::Net::HTTPRequest request(Poco::Net::HTTPRequest::HTTP_GET,
                                           std::string("/api/cameras/0/stream") + (compact_ ? "?mode=compact" : ""),
                                           Poco::Net::HTTPMessage::HTTP_1_1);
            Poco::Net::HTTPResponse response;
            Poco::Net::WebSocket socket(session, request, response);
            socket.setReceiveTimeout(Poco::Timespan(0, 200000));
            Poco::Buffer<char> buffer(0);
            while (!stop_) {
                int flags = 0;
                try {
                    buffer.resize(0);
                    const int n = socket.receiveFrame(buffer, flags);
                    if (n <= 0 && flags == 0)
                        return;
                    bytes_ += static_cast<uint64_t>(n);
                    ++messages_;
                } catch (const Poco::TimeoutException&) {
                }
            }
        } catch (const Poco::Exception& e) {
            std::fprintf(stderr, "client: %s\n", e.displayText().c_str());
        }
    }

    const bool compact_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> bytes_{0}, messages_{0};
    std::thread thread_;
};

struct Window {
    double cpuShare = 0;                // of one core
    std::vector<double> bytesPerSecond; // per client
};

// Runs `rawClients` raw and `compactClients` compact clients for a settling
// second, then measures over `seconds`.
Window Measure(const std::string& size, int rawClients, int compactClients, double seconds,
               const char* tool = TOOL_PATH)
{
    Window window;
    const Server server = StartServer(size, tool);
    if (server.port == 0) {
        std::fprintf(stderr, "live_view_streams: the server did not start\n");
        std::exit(1);
    }
    {
        std::vector<std::unique_ptr<Client>> clients;
        for (int i = 0; i < rawClients + compactClients; ++i)
            clients.push_back(std::make_unique<Client>(server.port, i >= rawClients));
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        std::vector<uint64_t> before;
        for (const auto& c : clients)
            before.push_back(c->bytes());
        const double cpuBefore = CpuSeconds(server.pid);
        const Clock::time_point start = Clock::now();
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        window.cpuShare = (CpuSeconds(server.pid) - cpuBefore) / elapsed;
        for (size_t i = 0; i < clients.size(); ++i)
            window.bytesPerSecond.push_back(double(clients[i]->bytes() - before[i]) / elapsed);
    }
    StopServer(server);
    return window;
}

}  // namespace

int main(int argc, char** argv)
{
    double seconds = 5;
    int clients = 16;
    const char* baseline = nullptr;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--seconds") == 0)
            seconds = std::atof(argv[i + 1]);
        else if (std::strcmp(argv[i], "--clients") == 0)
            clients = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--baseline") == 0)
            baseline = argv[i + 1];
    }
    std::printf("Bytes a second per client, one raw and one compact client of one server, 25 fps:\n");
    for (const char* size : {"640x512", "1280x1024"}) {
        const Window w = Measure(size, 1, 1, seconds);
        std::printf("  %-9s  raw %7.2f MB/s   compact %6.3f MB/s   compact/raw %.4f (1/%.0f; target at most 1/20)\n",
                    size, w.bytesPerSecond[0] / 1e6, w.bytesPerSecond[1] / 1e6,
                    w.bytesPerSecond[1] / w.bytesPerSecond[0], w.bytesPerSecond[0] / w.bytesPerSecond[1]);
    }
    std::printf("CPU of the serve process (virtual camera included) at 1280x1024, 25 fps, share of one core:\n");
    const Window idle = Measure("1280x1024", 0, 0, seconds);
    const Window raw = Measure("1280x1024", clients, 0, seconds);
    const Window compact = Measure("1280x1024", 0, clients, seconds);
    double rawBytes = 0, compactBytes = 0;
    for (double b : raw.bytesPerSecond)
        rawBytes += b;
    for (double b : compact.bytesPerSecond)
        compactBytes += b;
    std::printf("  no client          %5.1f%%\n", idle.cpuShare * 100);
    std::printf("  %2d raw clients     %5.1f%%   (%.1f MB/s to all, %.1f MB/s each)\n", clients, raw.cpuShare * 100,
                rawBytes / 1e6, rawBytes / 1e6 / clients);
    std::printf("  %2d compact clients %5.1f%%   (%.2f MB/s to all, %.3f MB/s each)\n", clients,
                compact.cpuShare * 100, compactBytes / 1e6, compactBytes / 1e6 / clients);
    std::printf("  compact/raw %.2f (target at most 0.25); above no client: compact/raw %.2f\n",
                compact.cpuShare / raw.cpuShare,
                (compact.cpuShare - idle.cpuShare) / std::max(1e-9, raw.cpuShare - idle.cpuShare));
    if (baseline) {
        // Two runs each, taking turns, so that a change in the machine's
        // load falls on both.
        // Clients that a loaded machine starves take fewer frames, and the
        // server then does less: the CPU per gigabyte sent compares the two
        // builds whatever the clients managed.
        const auto total = [](const Window& w) {
            double bytes = 0;
            for (double b : w.bytesPerSecond)
                bytes += b;
            return bytes;
        };
        double ours = 0, theirs = 0, oursPerGb = 0, theirsPerGb = 0;
        for (int run = 0; run < 2; ++run) {
            const Window before = Measure("1280x1024", clients, 0, seconds, baseline);
            const Window after = Measure("1280x1024", clients, 0, seconds);
            std::printf("  %2d raw clients, run %d: baseline %5.1f%% (%.0f MB/s), this build %5.1f%% (%.0f MB/s)\n",
                        clients, run + 1, before.cpuShare * 100, total(before) / 1e6, after.cpuShare * 100,
                        total(after) / 1e6);
            theirs += before.cpuShare / 2;
            ours += after.cpuShare / 2;
            theirsPerGb += before.cpuShare / (total(before) / 1e9) / 2;
            oursPerGb += after.cpuShare / (total(after) / 1e9) / 2;
        }
        std::printf("  raw: this build/baseline %.2f (%.0f%% below; target at least 20%% below)\n", ours / theirs,
                    (1 - ours / theirs) * 100);
        std::printf("  raw, CPU seconds per GB sent: baseline %.3f, this build %.3f, ratio %.2f\n", theirsPerGb,
                    oursPerGb, oursPerGb / theirsPerGb);
        std::printf("  compact/raw against the baseline's raw %.2f\n", compact.cpuShare / theirs);
    }
    return 0;
}
