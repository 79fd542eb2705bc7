// The live view's request rules, frame header and command line, without a
// network.
#include "../run_tool.h"
#include "frame_message.h"
#include "listening.h"
#include "live_server.h"
#include "request_rules.h"
#include "websocket_send.h"

#include <Poco/Exception.h>

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

using namespace vivatool::serve;

TEST(ServeRules, HostHeaderMustNameThisServer)
{
    const std::vector<std::string> extra = {"thermal.lab"};
    struct Case {
        const char* host;
        bool allowed;
    };
    for (const Case& c : std::vector<Case>{
             {"127.0.0.1:8080", true},
             {"localhost:8080", true},
             {"LOCALHOST:8080", true},
             {"[::1]:8080", true},
             {"192.168.1.20:8080", true},
             {"thermal.lab:8080", true},
             {"Thermal.Lab:8080", true},
             {"127.0.0.1:8081", false},       // another port
             {"127.0.0.1", false},            // port 80 implied
             {"127.0.0.1:", false},
             {"evil.example:8080", false},    // a name that may resolve to us
             {"localhost.evil.example:8080", false},
             {"0x7f.1:8080", false},          // numeric forms browsers resolve differently
             {"2130706433:8080", false},
             {"[::1:8080", false},
             {"::1:8080", false},
             {"", false},
         })
        EXPECT_EQ(HostAllowed(c.host, 8080, extra), c.allowed) << c.host;
    EXPECT_TRUE(HostAllowed("localhost", 80, {}));
}

TEST(ServeRules, OriginTokenCookieAndPaths)
{
    EXPECT_TRUE(OriginAllowed("", "127.0.0.1:8080", false));
    EXPECT_TRUE(OriginAllowed("http://127.0.0.1:8080", "127.0.0.1:8080", false));
    EXPECT_TRUE(OriginAllowed("http://LOCALHOST:8080", "localhost:8080", false));
    EXPECT_FALSE(OriginAllowed("http://localhost:8080", "127.0.0.1:8080", false));
    EXPECT_FALSE(OriginAllowed("https://127.0.0.1:8080", "127.0.0.1:8080", false));
    EXPECT_FALSE(OriginAllowed("http://127.0.0.1:8080.evil.example", "127.0.0.1:8080", false));
    EXPECT_FALSE(OriginAllowed("null", "127.0.0.1:8080", false));
    // Under TLS the page's own origin is https://, and http:// is another one.
    EXPECT_TRUE(OriginAllowed("https://127.0.0.1:8080", "127.0.0.1:8080", true));
    EXPECT_FALSE(OriginAllowed("http://127.0.0.1:8080", "127.0.0.1:8080", true));

    EXPECT_TRUE(TokenMatches("abc", "abc"));
    EXPECT_FALSE(TokenMatches("abc", "abd"));
    EXPECT_FALSE(TokenMatches("abc", "ab"));
    EXPECT_FALSE(TokenMatches("abc", "abcd"));
    EXPECT_FALSE(TokenMatches("", ""));

    EXPECT_EQ(CookieValue("a=1; vivazuzoz-token=xyz; b=2", "vivazuzoz-token"), "xyz");
    EXPECT_EQ(CookieValue("vivazuzoz-tokens=xyz", "vivazuzoz-token"), "");
    EXPECT_EQ(CookieValue("", "vivazuzoz-token"), "");

    // Where the token comes from: the query first, then Authorization
    // (Bearer, or Basic's password whatever the user name), X-Token, the
    // cookie.
    const auto given = [](Credentials c) { return TokenGiven(c, "vivazuzoz-token"); };
    EXPECT_EQ(given({"q", "Bearer b", "x", "vivazuzoz-token=c"}), "q");
    EXPECT_EQ(given({"", "Bearer b", "x", "vivazuzoz-token=c"}), "b");
    EXPECT_EQ(given({"", "Basic dmlld2VyOnMzY3JldA==", "x", ""}), "s3cret");  // viewer:s3cret
    EXPECT_EQ(given({"", "basic OnMzY3JldA==", "", ""}), "s3cret");           // :s3cret
    EXPECT_EQ(given({"", "Basic dmlld2Vy", "x", ""}), "x");                   // no colon, no password
    EXPECT_EQ(given({"", "Basic !!!", "", "vivazuzoz-token=c"}), "c");        // not base64
    EXPECT_EQ(given({"", "", "", "a=1; vivazuzoz-token=c"}), "c");
    EXPECT_EQ(given({}), "");

    for (const char* path : {"/..", "/../x", "/a/../b", "/%2E%2e/x", "/a%2fb", "/a\\b", "/x%00"})
        EXPECT_TRUE(PathTraverses(path)) << path;
    for (const char* path : {"/", "/app.js", "/api/cameras/0/settings/palette", "/a..b", "/...", "/%41"})
        EXPECT_FALSE(PathTraverses(path)) << path;

    EXPECT_EQ(SettingBodyValue(" 0.95\r\n"), "0.95");
    EXPECT_EQ(SettingBodyValue("\"-3\""), "-3");
    EXPECT_EQ(SettingBodyValue("\""), "\"");
    EXPECT_EQ(SettingBodyValue(""), "");
}

TEST(ServeRules, RoutesByPath)
{
    struct Case {
        const char* path;
        const char* pattern;  // of the route matched; nullptr: none
        RouteMiss miss;
        int camera;
        const char* setting;
    };
    const RouteMiss none = RouteMiss::None, unknown = RouteMiss::Unknown, badIndex = RouteMiss::BadIndex;
    for (const Case& c : std::vector<Case>{
             {"/", "*", none, -1, ""},
             {"/apix", "*", none, -1, ""},
             {"/api", nullptr, unknown, -1, ""},
             {"/api/settings", "/api/settings", none, -1, ""},
             {"/api/colormaps", "/api/colormaps", none, -1, ""},
             {"/api/cameras", "/api/cameras", none, -1, ""},
             {"/api/cameras/", nullptr, badIndex, -1, ""},
             {"/api/cameras/0/settings", "/api/cameras/{camera}/settings", none, 0, ""},
             {"/api/cameras/12/settings/emissivity", "/api/cameras/{camera}/settings/{name}", none, 12, "emissivity"},
             {"/api/cameras/1/settings/", nullptr, unknown, 1, ""},
             {"/api/cameras/1/shutter", "/api/cameras/{camera}/shutter", none, 1, ""},
             {"/api/cameras/1/snapshot.png", "/api/cameras/{camera}/snapshot.png", none, 1, ""},
             {"/api/cameras/1/temperature.csv", "/api/cameras/{camera}/temperature.csv", none, 1, ""},
             {"/api/cameras/1/stream", "/api/cameras/{camera}/stream", none, 1, ""},
             {"/api/cameras/1/stream/x", nullptr, unknown, 1, ""},
             {"/api/cameras/+1/stream", nullptr, badIndex, -1, ""},
             {"/api/cameras/1234567/stream", nullptr, badIndex, -1, ""},
             {"/metrics", "/metrics", none, -1, ""},
         }) {
        const RouteMatch match = MatchRoute(ServerRoutes(), c.path);
        EXPECT_EQ(std::string(match.route ? match.route->pattern : "(none)"), c.pattern ? c.pattern : "(none)")
            << c.path;
        EXPECT_EQ(match.miss, c.miss) << c.path;
        EXPECT_EQ(match.camera, c.camera) << c.path;
        EXPECT_EQ(match.name, c.setting) << c.path;
    }
    EXPECT_STREQ(MatchRoute(ServerRoutes(), "/api/cameras/0/settings/palette").route->method, "PUT");
    EXPECT_STREQ(MatchRoute(ServerRoutes(), "/api/cameras/0/shutter").route->method, "POST");
    EXPECT_STREQ(MatchRoute(ServerRoutes(), "/api/cameras/0/stream").route->method, "GET");
}

TEST(ServeFrameMessage, HeaderAndPlanesAreLittleEndianAtTheDocumentedOffsets)
{
    const uint16_t image[] = {0x0102, 0xFFFE, 0x0000, 0x8000, 0x1234, 0x00FF};
    const int16_t temp[] = {-1, 253, 0, -32768, 32767, 1100};
    FrameHeader header;
    header.width = 3;
    header.height = 2;
    header.sequence = 0x0102030405060708ull;
    header.timestampMs = 1.5;
    const std::string message = EncodeFrame(header, image, temp);
    ASSERT_EQ(message.size(), 32u + 6 * 2 + 6 * 2);
    const std::string expectedHeader("VZLV\x01\x00\x20\x00\x03\x00\x02\x00\x01\x00\x00\x00"
                                     "\x08\x07\x06\x05\x04\x03\x02\x01"
                                     "\x00\x00\x00\x00\x00\x00\xF8\x3F",
                                     32);
    EXPECT_EQ(message.substr(0, 32), expectedHeader);
    EXPECT_EQ(message.substr(32, 4), std::string("\x02\x01\xFE\xFF", 4));
    EXPECT_EQ(message.substr(44, 4), std::string("\xFF\xFF\xFD\x00", 4));
    EXPECT_EQ(message.substr(54, 2), std::string("\x4C\x04", 2));

    FrameHeader decoded;
    ASSERT_TRUE(DecodeFrameHeader(message, decoded));
    EXPECT_EQ(decoded.width, 3);
    EXPECT_EQ(decoded.height, 2);
    EXPECT_EQ(decoded.flags, kFrameHasTemperature);
    EXPECT_EQ(decoded.sequence, header.sequence);
    EXPECT_EQ(decoded.timestampMs, 1.5);

    std::vector<uint16_t> imagePlane;
    std::vector<int16_t> tempPlane;
    ASSERT_TRUE(DecodeFrame(message, decoded, imagePlane, tempPlane));
    EXPECT_EQ(imagePlane, std::vector<uint16_t>(image, image + 6));
    EXPECT_EQ(tempPlane, std::vector<int16_t>(temp, temp + 6));
    EXPECT_FALSE(DecodeFrame(message.substr(0, message.size() - 1), decoded, imagePlane, tempPlane));

    const std::string imageOnly = EncodeFrame(header, image, nullptr);
    ASSERT_EQ(imageOnly.size(), 32u + 6 * 2);
    ASSERT_TRUE(DecodeFrameHeader(imageOnly, decoded));
    EXPECT_EQ(decoded.flags, 0u);
    ASSERT_TRUE(DecodeFrame(imageOnly, decoded, imagePlane, tempPlane));
    EXPECT_TRUE(tempPlane.empty());
    EXPECT_FALSE(DecodeFrameHeader(imageOnly.substr(0, 31), decoded));
    EXPECT_FALSE(DecodeFrameHeader("XZLV" + imageOnly.substr(4), decoded));
}

// The hub's frames reuse their buffers: a frame still held keeps its own
// (a client may be sending it), a dropped one's serves the next frame, and a
// new size never gets an old size's buffer.
TEST(ServeFrameMessage, BuffersComeBackOnlyWhenNoOneHoldsTheirFrame)
{
    const auto buffers = std::make_shared<FrameBuffers>();
    const auto make = [&](int width, uint16_t value) {
        auto frame = std::make_shared<Frame>(width, 2, buffers);
        std::fill(frame->imagePlane(), frame->imagePlane() + frame->samples(), value);
        frame->Seal(FrameHeader{});
        return frame;
    };
    auto held = make(4, 1);
    auto dropped = make(4, 2);
    const char* droppedBytes = dropped->message();
    dropped.reset();
    const auto next = make(4, 3);
    EXPECT_EQ(next->message(), droppedBytes);
    EXPECT_NE(next->message(), held->message());
    EXPECT_EQ(held->image()[7], 1);  // untouched by the frames after it
    EXPECT_FALSE(held->withTemp());
    EXPECT_EQ(held->messageSize(), 32u + 4 * 2 * 2);

    const char* heldBytes = held->message();
    held.reset();
    const auto wider = make(8, 4);
    EXPECT_NE(wider->message(), heldBytes);
    EXPECT_EQ(wider->image()[15], 4);
}

TEST(ServeCommandLine, BadOptionsAreUsageErrorsBeforeAnythingStarts)
{
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"serve", "--listen", "8080"},
             {"serve", "--listen", "example.com:8080"},
             {"serve", "--listen", "127.0.0.1:70000"},
             {"serve", "--listen", "127.0.0.1:http"},
             {"serve", "--token", ""},
             {"serve", "--max-fps", "0"},
             {"serve", "--max-fps", "fast"},
             {"serve", "--max-clients", "0"},
             {"serve", "--max-connections", "0"},
             {"serve", "--max-per-client", "many"},
             {"serve", "--listen", "[::]"},
             {"serve", "extra"},
             {"serve", "--tls-cert", "cert.pem"},
             {"serve", "--tls-key", "key.pem"},
             {"serve", "--tls-self-signed", "--tls-cert", "c.pem", "--tls-key", "k.pem"},
             {"serve", "--tls-cert", "/nonexistent/cert.pem", "--tls-key", "/nonexistent/key.pem"},
         }) {
        const ToolRun run = RunCaptured(args);
        EXPECT_EQ(run.status, vivatool::kExitUsage) << args.back();
        EXPECT_NE(run.err.find("vivazuzoz serve: "), std::string::npos) << run.err;
        EXPECT_TRUE(run.out.empty()) << run.out;
    }
    const ToolRun help = RunCaptured({"serve", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--listen ADDR:PORT"), std::string::npos);
    EXPECT_NE(help.out.find("/api/cameras/N/stream"), std::string::npos);
}

TEST(ServeListening, WildcardsPrintTheMachinesOwnAddressesLoopbackLast)
{
    using vivatool::ReachableHosts;
    EXPECT_EQ(ReachableHosts("127.0.0.1"), std::vector<std::string>{"127.0.0.1"});
    EXPECT_EQ(ReachableHosts("::1"), std::vector<std::string>{"[::1]"});
    Poco::Net::IPAddress ip;
    ASSERT_TRUE(vivatool::ParseIpAddress("::", ip));
    EXPECT_TRUE(ip.isWildcard());
    EXPECT_FALSE(vivatool::ParseIpAddress("::g", ip));

    for (const std::string wildcard : {"0.0.0.0", "::"}) {
        const std::vector<std::string> hosts = ReachableHosts(wildcard);
        ASSERT_FALSE(hosts.empty()) << wildcard;
        bool loopbackSeen = false;
        for (const std::string& host : hosts) {
            const bool v6 = host.front() == '[';
            EXPECT_TRUE(wildcard == "::" || !v6) << "IPv6 on an IPv4 wildcard: " << host;
            ASSERT_TRUE(vivatool::ParseIpAddress(v6 ? host.substr(1, host.size() - 2) : host, ip)) << host;
            EXPECT_FALSE(ip.isWildcard()) << host;
            // Loopback addresses come after every address other machines can use.
            if (ip.isLoopback())
                loopbackSeen = true;
            else
                EXPECT_FALSE(loopbackSeen) << host << " after a loopback address";
        }
        EXPECT_TRUE(loopbackSeen) << wildcard;
    }
}

// A shared buffer sent as a WebSocket message without a copy: the header's
// length field at each of its three sizes' edges, and the payload whole
// after the partial sends a socket makes when the reader is slower.
TEST(ServeWebSocketSend, HeaderAndPayloadArriveWholeAtEveryLengthEdge)
{
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    for (const size_t size : {size_t(0), size_t(125), size_t(126), size_t(65535), size_t(65536), size_t(3000001)}) {
        std::string payload(size, '\0');
        for (size_t i = 0; i < size; ++i)
            payload[i] = static_cast<char>(i * 7 + size);
        std::string received;
        const size_t headerSize = size < 126 ? 2 : size <= 0xFFFF ? 4 : 10;
        std::thread reader([&] {
            char chunk[4096];
            while (received.size() < headerSize + size) {
                const ssize_t n = read(pair[1], chunk, sizeof chunk);
                if (n <= 0)
                    return;
                received.append(chunk, static_cast<size_t>(n));
            }
        });
        SendBinaryFrame(pair[0], payload.data(), payload.size());
        reader.join();
        ASSERT_EQ(received.size(), headerSize + size) << size;
        EXPECT_EQ(static_cast<unsigned char>(received[0]), 0x82) << size;  // FIN, binary
        uint64_t length = static_cast<unsigned char>(received[1]);        // no mask bit
        if (headerSize > 2) {
            EXPECT_EQ(length, headerSize == 4 ? 126u : 127u) << size;
            length = 0;
            for (size_t i = 2; i < headerSize; ++i)
                length = length << 8 | static_cast<unsigned char>(received[i]);
        }
        EXPECT_EQ(length, size);
        EXPECT_TRUE(received.compare(headerSize, std::string::npos, payload) == 0) << size;
    }
    // A peer that has gone: an error, not a signal that ends the process.
    close(pair[1]);
    EXPECT_THROW(SendBinaryFrame(pair[0], "x", 1), Poco::IOException);
    close(pair[0]);
}
