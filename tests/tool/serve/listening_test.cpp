// The live view's server under the load a real network brings: a flood of
// connections from one address, requests that never finish, clients that
// stop reading, a port already taken, a browser without the token; and the
// settings it answers from memory, counted in the camera's own exchanges.
#include "http_client.h"
#include "raw_client.h"
#include "served_hub.h"
#include "live_server.h"
#include <vivaclient/camera.h>
#include "../png_reader.h"

#include "../../support/eventually.h"
#include "../../support/scratch_dir.h"

#include <VIVAZUZOZ.h>
#include <vcam/VirtualCamera.h>

#include <Poco/JSON/Object.h>
#include <Poco/JSON/Parser.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <thread>

using namespace vivaclient;

using namespace vivatool;
using namespace vivatool::serve;

namespace {

Poco::JSON::Object::Ptr JsonObject(const std::string& text)
{
    return Poco::JSON::Parser().parse(text).extract<Poco::JSON::Object::Ptr>();
}

// Whether this machine has IPv6 (some containers have none).
bool HaveIpv6()
{
    const int fd = socket(AF_INET6, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    sockaddr_in6 loopback{};
    loopback.sin6_family = AF_INET6;
    loopback.sin6_addr = in6addr_loopback;
    const bool ok = bind(fd, reinterpret_cast<sockaddr*>(&loopback), sizeof loopback) == 0;
    close(fd);
    return ok;
}

std::string Request(uint16_t port, const std::string& path)
{
    return "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\nConnection: close\r\n\r\n";
}

class ListeningTest : public ServedHub {
protected:
    // `count` connections from `from`, each with half a request sent.
    void Flood(const char* from, int count)
    {
        for (int i = 0; i < count; ++i) {
            flood_.push_back(std::make_unique<RawClient>(from, port_));
            flood_.back()->Send("GET /api/cameras HTTP/1.1\r\nHost: 127.0");
        }
    }
    std::vector<std::unique_ptr<RawClient>> flood_;
};

}  // namespace

TEST_F(ListeningTest, AFloodFromOneAddressLeavesOtherClientsServed)
{
    vcam::AddCamera();
    ServerOptions options;
    // Half-sent requests would hold their threads for a minute: only the
    // caps can keep the server answering.
    options.headerTimeout = std::chrono::seconds(60);
    Serve(options);

    Flood("127.0.0.1", 400);
    ASSERT_TRUE(Eventually([&] { return server_->stats().connectionsRefused >= 400u - 32u; }, std::chrono::seconds(30)))
        << server_->stats().connectionsRefused;
    EXPECT_EQ(server_->stats().connections, 32);

    // Another address is answered at once (the limit here is generous; the
    // flood alone would hold it for a minute).
    for (const char* from : {"127.0.0.2", "127.0.0.3"}) {
        RawClient other(from, port_);
        ASSERT_TRUE(other.connected()) << from;
        other.Send(Request(port_, "/api/cameras"));
        EXPECT_EQ(other.StatusLine(10), "HTTP/1.1 200 OK") << from;
    }
    // The flooding address itself gets nothing more.
    RawClient more("127.0.0.1", port_);
    more.Send(Request(port_, "/api/cameras"));
    bool closed = false;
    EXPECT_EQ(more.ReadAll(10, closed), "");
    EXPECT_TRUE(closed);

    // Once the flood goes, its address is served again.
    flood_.clear();
    ASSERT_TRUE(Eventually([&] { return server_->stats().connections == 0; }));
    EXPECT_EQ(Get(port_, "/api/cameras").status, 200);
}

TEST_F(ListeningTest, AFloodFromFourAddressesShedsItselfToLetAFifthIn)
{
    vcam::AddCamera();
    ServerOptions options;
    // Only shedding can make room: the flood's half-sent requests would
    // otherwise hold the cap for a minute.
    options.headerTimeout = std::chrono::seconds(60);
    Serve(options);

    // 100 half-open connections from each of four addresses: 32 from each
    // are let in (its address's cap), which fills the cap of 128 in all.
    for (const char* from : {"127.0.1.2", "127.0.1.3", "127.0.1.4", "127.0.1.5"})
        Flood(from, 100);
    ASSERT_TRUE(
        Eventually([&] { return server_->stats().connectionsRefused >= 4u * (100u - 32u); }, std::chrono::seconds(30)))
        << server_->stats().connectionsRefused;
    ASSERT_EQ(server_->stats().connections, 128);

    // A fifth address is answered: the oldest half-sent request makes room.
    const auto start = std::chrono::steady_clock::now();
    RawClient newcomer("127.0.1.6", port_);
    ASSERT_TRUE(newcomer.connected());
    newcomer.Send(Request(port_, "/api/cameras"));
    const std::string status = newcomer.StatusLine(5);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("a fifth address answered %.3f s after it connected, under a four-address flood\n", seconds);
    EXPECT_EQ(status, "HTTP/1.1 200 OK");
    EXPECT_GE(server_->stats().connectionsShed, 1u);

    // The flood goes on: each new connection from it sheds one of its own
    // older ones, and the fifth address is still answered.
    for (const char* from : {"127.0.1.2", "127.0.1.3"})
        Flood(from, 20);
    RawClient again("127.0.1.6", port_);
    again.Send(Request(port_, "/api/cameras"));
    EXPECT_EQ(again.StatusLine(5), "HTTP/1.1 200 OK");
    // Shed connections leave as their threads end: the cap holds again.
    EXPECT_TRUE(Eventually([&] { return server_->stats().connections <= 128; })) << server_->stats().connections;
}

TEST_F(ListeningTest, RequestsThatDoNotFinishInTimeAreCut)
{
    vcam::AddCamera();
    ServerOptions options;
    options.headerTimeout = std::chrono::milliseconds(500);
    options.bodyTimeout = std::chrono::milliseconds(500);
    Serve(options);

    RawClient slowHeaders("127.0.0.1", port_);
    slowHeaders.Send("GET /api/cameras HTTP/1.1\r\nHost: 127.0.0.1\r\n");
    RawClient slowBody("127.0.0.1", port_);
    slowBody.Send("PUT /api/cameras/0/settings/palette HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) +
                  "\r\nContent-Length: 4\r\n\r\n1");
    bool closed = false;
    EXPECT_EQ(slowHeaders.ReadAll(20, closed), "");
    EXPECT_TRUE(closed) << "headers never finished, yet the connection stayed";
    slowBody.ReadAll(20, closed);
    EXPECT_TRUE(closed) << "a body never finished, yet the connection stayed";
    EXPECT_EQ(server_->stats().connectionsCut, 2u);

    // A whole request in time is answered; an idle keep-alive connection is
    // closed after it like any connection that sends no request.
    RawClient prompt("127.0.0.1", port_);
    prompt.Send("GET /api/cameras HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) + "\r\n\r\n");
    const std::string answer = prompt.ReadAll(20, closed);
    EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK", 0), 0u) << answer;
    EXPECT_TRUE(closed);
}

TEST_F(ListeningTest, AStreamClientThatStopsReadingIsDroppedAtItsTimeAndFreesItsSlot)
{
    vcam::AddCamera();
    ServerOptions options;
    options.maxStreams = 1;
    options.maxFps = 2;  // few frames: the client's buffers alone would hide the stall for a long time
    options.sendTimeout = std::chrono::milliseconds(1500);
    Serve(options);

    RawClient stalled("127.0.0.1", port_);
    stalled.Send("GET /api/cameras/0/stream HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) +
                 "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                 "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");
    ASSERT_TRUE(Eventually([&] { return server_->stats().streams == 1; }));
    // The only slot is taken.
    EXPECT_THROW(StreamClient(port_, 0), Poco::Net::WebSocketException);

    ASSERT_TRUE(Eventually([&] { return server_->stats().clientsDropped == 1; }, std::chrono::seconds(20)));
    ASSERT_TRUE(Eventually([&] { return server_->stats().streams == 0; }));

    // The slot is free again, and a client that reads (and so answers the
    // pings) keeps it well past the time limit.
    StreamClient reader(port_, 0);
    const auto until = std::chrono::steady_clock::now() + 2 * options.sendTimeout;
    uint64_t last = 0;
    while (std::chrono::steady_clock::now() < until) {
        const uint64_t sequence = reader.NextFrame().header.sequence;
        EXPECT_GT(sequence, last);
        last = sequence;
    }
    EXPECT_EQ(server_->stats().clientsDropped, 1u);
    EXPECT_EQ(server_->stats().streams, 1);
}

TEST_F(ListeningTest, APortInUseIsRefusedAndTheWildcardsServeBothFamilies)
{
    vcam::AddCamera();
    const bool ipv6 = HaveIpv6();
    ServerOptions options;
    options.address = ipv6 ? "::" : "0.0.0.0";
    Serve(options);
    EXPECT_EQ(Get(port_, "/api/cameras").status, 200) << "IPv4 on the wildcard " << options.address;

    std::vector<std::string> others = {"127.0.0.1", "0.0.0.0"};
    if (ipv6)
        others.push_back("::");
    for (const std::string& address : others) {
        ServerOptions second;
        second.address = address;
        second.port = port_;
        LiveServer other(*hub_, second);
        std::string error;
        EXPECT_FALSE(other.Start(error)) << address;
        EXPECT_TRUE(other.addressInUse()) << address << ": " << error;
        EXPECT_NE(error.find("in use by another program"), std::string::npos) << error;
    }
    // The first server is untouched.
    EXPECT_EQ(Get(port_, "/api/cameras").status, 200);
}

TEST_F(ListeningTest, BrowsersGetHeadAFaviconAndAPageThatAsksForTheToken)
{
    vcam::AddCamera();
    ServerOptions options;
    options.token = "s3cret";
    Serve(options);

    RequestSetup head;
    head.method = "HEAD";
    head.headers["X-Token"] = "s3cret";
    for (const char* path : {"/", "/app.js", "/api/cameras", "/api/cameras/0/settings"}) {
        head.path = path;
        RequestSetup get = head;
        get.method = "GET";
        Reply full = Send(port_, get);
        Reply headers = Send(port_, head);
        EXPECT_EQ(headers.status, 200) << path;
        EXPECT_EQ(headers.body, "") << path;
        EXPECT_EQ(headers.headers["Content-Type"], full.headers["Content-Type"]) << path;
        // Measurements, counts and the unit read when the camera opened may
        // change between the two.
        if (std::string(path) != "/api/cameras/0/settings" && std::string(path) != "/api/cameras") {
            EXPECT_EQ(headers.headers["Content-Length"], std::to_string(full.body.size())) << path;
        }
    }
    head.path = "/api/cameras/0/shutter";
    EXPECT_EQ(Send(port_, head).status, 405);

    // The icon needs no token: an ICO holding a 32x32 PNG.
    Reply icon = Get(port_, "/favicon.ico");
    ASSERT_EQ(icon.status, 200);
    EXPECT_EQ(icon.headers["Content-Type"], "image/x-icon");
    ASSERT_GT(icon.body.size(), 22u + 8u);
    EXPECT_EQ(icon.body.substr(0, 4), std::string("\0\0\1\0", 4));
    {
        std::ofstream("icon.png", std::ios::binary) << icon.body.substr(22);
    }
    const PngPicture picture = ReadPng("icon.png");
    EXPECT_TRUE(picture.ok);
    EXPECT_EQ(picture.width, 32);
    EXPECT_EQ(picture.height, 32);

    // A browser without the token gets a form for it, programs get JSON.
    RequestSetup browser;
    browser.headers["Accept"] = "text/html,application/xhtml+xml,*/*;q=0.8";
    Reply page = Send(port_, browser);
    EXPECT_EQ(page.status, 401);
    EXPECT_EQ(page.headers["Content-Type"], "text/html; charset=utf-8");
    EXPECT_NE(page.body.find("name=\"token\""), std::string::npos) << page.body;
    EXPECT_EQ(page.body.find("not this server's"), std::string::npos);
    browser.path = "/?token=wrong";
    page = Send(port_, browser);
    EXPECT_EQ(page.status, 401);
    EXPECT_NE(page.body.find("not this server's"), std::string::npos);
    browser.path = "/api/cameras";
    page = Send(port_, browser);
    EXPECT_EQ(page.status, 401);
    EXPECT_EQ(page.headers["Content-Type"], "application/json") << "the API answers JSON to a browser too";
    browser.path = "/?token=s3cret";
    EXPECT_EQ(Send(port_, browser).status, 200);
}

TEST_F(ListeningTest, SettingsAreAnsweredFromMemoryAndWrittenThroughInTheirOwnExchanges)
{
    vcam::Camera& camera = vcam::AddCamera();
    vcam::Model model = camera.model();
    model.palette = 7;
    model.env[2] = 8000;
    camera.SetModel(model);
    ServerOptions options;
    options.measureEvery = std::chrono::hours(1);
    Serve(options);

    Reply first = Get(port_, "/api/cameras/0/settings");
    ASSERT_EQ(first.status, 200) << first.body;
    auto settings = JsonObject(first.body);
    EXPECT_EQ(settings->getValue<int>("palette"), 7);
    EXPECT_DOUBLE_EQ(settings->getValue<double>("emissivity"), 0.8);

    // Reading costs the camera nothing, however often.
    camera.ClearRequests();
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(Get(port_, "/api/cameras/0/settings").body, first.body);
    EXPECT_EQ(camera.requests().size(), 0u);

    // What one read and one write of the environment record cost the camera
    // (the library exchanges each field on its own).
    hub_->WithCamera(0, [](unsigned long handle) {
        OZL_USB_ENV_PARAM env{};
        ASSERT_EQ(OZL_USB_GetEnvParam(handle, &env), OZL_USB_SUCCESS);
        ASSERT_EQ(OZL_USB_SetEnvParam(handle, &env), OZL_USB_SUCCESS);
    });
    const size_t recordReadAndWrite = camera.requests().size();
    ASSERT_GT(recordReadAndWrite, 0u);
    camera.ClearRequests();

    // An environment value: one read and one write of the record.
    ASSERT_EQ(Put(port_, "/api/cameras/0/settings/emissivity", "0.9").status, 200);
    EXPECT_EQ(camera.requests().size(), recordReadAndWrite);
    EXPECT_EQ(camera.model().env[2], 9000);
    EXPECT_EQ(camera.model().env[0], model.env[0]) << "the other fields of the record stay";
    // A plain value: its one write.
    camera.ClearRequests();
    const Reply palette = Put(port_, "/api/cameras/0/settings/palette", "3");
    ASSERT_EQ(palette.status, 200);
    EXPECT_EQ(JsonObject(palette.body)->getValue<int>("value"), 3);
    EXPECT_EQ(camera.requests().size(), 1u);
    // Both are known at once, without asking the camera.
    camera.ClearRequests();
    settings = JsonObject(Get(port_, "/api/cameras/0/settings").body);
    EXPECT_EQ(settings->getValue<int>("palette"), 3);
    EXPECT_DOUBLE_EQ(settings->getValue<double>("emissivity"), 0.9);
    EXPECT_EQ(camera.requests().size(), 0u);

    // A value the camera refuses leaves the known value as it was.
    EXPECT_NE(Put(port_, "/api/cameras/0/settings/palette", "99").status, 200);
    EXPECT_EQ(JsonObject(Get(port_, "/api/cameras/0/settings").body)->getValue<int>("palette"), 3);
    EXPECT_EQ(camera.model().palette, 3);
}

TEST_F(ListeningTest, MeasurementsAreReadAgainInTheBackground)
{
    vcam::Camera& camera = vcam::AddCamera();
    ServerOptions options;
    options.measureEvery = std::chrono::milliseconds(100);
    Serve(options);
    ASSERT_EQ(Get(port_, "/api/cameras/0/settings").status, 200);
    vcam::Model model = camera.model();
    model.fpaTemp = 4210;
    model.cameraTemp = 4433;
    camera.SetModel(model);
    EXPECT_TRUE(Eventually(
        [&] {
            const auto s = JsonObject(Get(port_, "/api/cameras/0/settings").body);
            return s->getValue<double>("fpa-temp") == 42.1 && s->getValue<double>("camera-temp") == 44.33;
        },
        std::chrono::seconds(20)));
}

TEST_F(ListeningTest, ACameraPluggedBackWithNewNodesKeepsItsIndexStreamAndSettings)
{
    vcam::Camera& camera = vcam::AddCamera();
    ServerOptions options;
    options.measureEvery = std::chrono::hours(1);
    Serve(options);
    StreamClient stream(port_, 0);
    const uint64_t before = stream.NextFrame().header.sequence;
    const std::string oldNode = camera.videoPath();
    ASSERT_EQ(Get(port_, "/api/cameras/0/settings").status, 200);

    camera.Unplug();
    for (;;) {
        const auto message = stream.Next();
        if (!message.binary) {
            ExpectGoneState(message.data);
            break;
        }
    }
    EXPECT_EQ(Get(port_, "/api/cameras/0/settings").status, 503);
    // Changed while it was away: the server reads it again when it opens.
    vcam::Model model = camera.model();
    model.palette = 11;
    camera.SetModel(model);
    camera.Replug();
    ASSERT_NE(camera.videoPath(), oldNode) << "the replug should make a new capture node";
    for (;;) {
        const auto message = stream.Next();
        if (!message.binary) {
            ASSERT_EQ(message.data, "{\"type\":\"state\",\"live\":true}");
            break;
        }
    }
    EXPECT_GT(stream.NextFrame().header.sequence, before);

    const std::string body = Get(port_, "/api/cameras").body;
    const auto list = Poco::JSON::Parser().parse(body).extract<Poco::JSON::Array::Ptr>();
    ASSERT_EQ(list->size(), 1u) << body;
    EXPECT_EQ(list->getObject(0)->getValue<int>("index"), 0);
    EXPECT_TRUE(list->getObject(0)->getValue<bool>("live"));
    EXPECT_EQ(list->getObject(0)->getValue<std::string>("video_path"), camera.videoPath());
    const Reply settings = Get(port_, "/api/cameras/0/settings");
    ASSERT_EQ(settings.status, 200);
    EXPECT_EQ(JsonObject(settings.body)->getValue<int>("palette"), 11);
}
