// The live view's server in this process on virtual cameras, driven by
// plain HTTP and WebSocket clients on 127.0.0.1: what every endpoint
// answers, what it refuses, and how streams behave when a client stalls or a
// camera vanishes.
#include "http_client.h"
#include "../child_process.h"
#include "served_hub.h"
#include "live_server.h"
#include <vivaclient/camera.h>
#include <vivaclient/colormaps.h>
#include <vivaclient/settings.h>
#include "../png_reader.h"

#include "../../support/eventually.h"
#include "../../support/scratch_dir.h"

#include <vcam/VirtualCamera.h>

#include <Poco/JSON/Object.h>
#include <Poco/JSON/Parser.h>
#include <Poco/Net/StreamSocket.h>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <thread>

using namespace vivaclient;

using namespace vivatool;
using namespace vivatool::serve;

namespace {

Poco::Dynamic::Var ParseJson(const std::string& text)
{
    return Poco::JSON::Parser().parse(text);
}

Poco::JSON::Object::Ptr JsonObject(const std::string& text)
{
    return ParseJson(text).extract<Poco::JSON::Object::Ptr>();
}

// An error reply: the status, and a JSON body with a message and a code.
void ExpectError(const Reply& reply, int status, int code, const std::string& context)
{
    EXPECT_EQ(reply.status, status) << context << ": " << reply.body;
    try {
        const auto error = JsonObject(reply.body);
        EXPECT_FALSE(error->getValue<std::string>("error").empty()) << context;
        EXPECT_EQ(error->getValue<int>("code"), code) << context << ": " << reply.body;
    } catch (const Poco::Exception& e) {
        ADD_FAILURE() << context << ": the error is not JSON: " << reply.body;
    }
}

class ServeTest : public ServedHub {};

vcam::CameraSetup ImageOnly384()
{
    vcam::CameraSetup setup;
    setup.width = 384;
    setup.height = 288;
    setup.withTemp = false;
    return setup;
}

}  // namespace

TEST_F(ServeTest, EveryEndpointServesTwoCamerasEachItsOwn)
{
    vcam::Camera& radiometric = vcam::AddCamera();
    vcam::Camera& imageOnly = vcam::AddCamera(ImageOnly384());
    Serve();

    // Both cameras stream before the list gives their sizes.
    StreamClient stream0(port_, 0), stream1(port_, 1);
    const auto frame0 = stream0.NextFrame();
    const auto frame1 = stream1.NextFrame();

    Reply list = Get(port_, "/api/cameras");
    ASSERT_EQ(list.status, 200) << list.body;
    EXPECT_EQ(list.headers["Content-Type"], "application/json");
    const auto cameras = ParseJson(list.body).extract<Poco::JSON::Array::Ptr>();
    ASSERT_EQ(cameras->size(), 2u);
    const auto first = cameras->getObject(0), second = cameras->getObject(1);
    EXPECT_EQ(first->getValue<int>("index"), 0);
    EXPECT_EQ(first->getValue<std::string>("name"), "Virtual Thermal Camera");
    EXPECT_EQ(first->getValue<std::string>("video_path"), radiometric.videoPath());
    EXPECT_EQ(first->getValue<std::string>("serial_path"), radiometric.serialPath());
    EXPECT_EQ(first->getValue<int>("width"), 256);
    EXPECT_EQ(first->getValue<int>("height"), 192);
    EXPECT_TRUE(first->getValue<bool>("radiometric"));
    EXPECT_EQ(second->getValue<std::string>("video_path"), imageOnly.videoPath());
    EXPECT_EQ(second->getValue<int>("width"), 384);
    EXPECT_FALSE(second->getValue<bool>("radiometric"));

    // Frames: the documented header, the image plane and, on the radiometric
    // stream only, the temperature plane, which holds the scene exactly.
    EXPECT_EQ(frame0.header.width, 256);
    EXPECT_EQ(frame0.header.height, 192);
    EXPECT_EQ(frame0.header.flags, kFrameHasTemperature);
    ASSERT_EQ(frame0.data.size(), kFrameHeaderSize + 256u * 192u * 4u);
    const int hx = radiometric.HotspotX(), hy = radiometric.HotspotY();
    int16_t hot = 0;
    std::memcpy(&hot, &frame0.data[kFrameHeaderSize + 256u * 192u * 2u + 2u * (hy * 256u + hx)], 2);
    EXPECT_EQ(hot, radiometric.SceneTenths(hx, hy));
    EXPECT_EQ(frame1.header.width, 384);
    EXPECT_EQ(frame1.header.flags, 0u);
    EXPECT_EQ(frame1.data.size(), kFrameHeaderSize + 384u * 288u * 2u);
    const auto next0 = stream0.NextFrame();
    EXPECT_GT(next0.header.sequence, frame0.header.sequence);
    EXPECT_GE(next0.header.timestampMs, frame0.header.timestampMs);

    // The page's colour maps are the tool's tables, entry for entry.
    const auto maps = ParseJson(Get(port_, "/api/colormaps").body).extract<Poco::JSON::Array::Ptr>();
    ASSERT_EQ(maps->size(), Colormaps().size());
    for (size_t m = 0; m < Colormaps().size(); ++m) {
        EXPECT_EQ(maps->getObject(m)->getValue<std::string>("name"), Colormaps()[m].name);
        const auto rgb = maps->getObject(m)->getArray("rgb");
        const Colormap table = Colormaps()[m].build();
        ASSERT_EQ(rgb->size(), 768u);
        for (size_t i = 0; i < 256; ++i) {
            const int entry[3] = {table[i].r, table[i].g, table[i].b};
            for (size_t k = 0; k < 3; ++k)
                EXPECT_EQ(rgb->getElement<int>(3 * i + k), entry[k]) << Colormaps()[m].name << " " << i;
        }
    }

    // Settings: every one by the tool's names; on the image-only stream the
    // temperature settings carry the library's "not supported".
    const auto settings0 = JsonObject(Get(port_, "/api/cameras/0/settings").body);
    for (const Setting& s : Settings())
        EXPECT_TRUE(settings0->has(s.name)) << s.name;
    EXPECT_EQ(settings0->getValue<double>("emissivity"), 0.95);
    EXPECT_EQ(settings0->getObject("fpa-size")->getValue<int>("width"), 256);
    const auto settings1 = JsonObject(Get(port_, "/api/cameras/1/settings").body);
    EXPECT_EQ(settings1->getObject("temp-level")->getValue<int>("code"), 2);

    // Changes reach the camera they name, and are read back.
    // 0.34 travels as 48 0D 00 00: a carriage return on the wire.
    Reply emissivity = Put(port_, "/api/cameras/0/settings/emissivity", "0.34");
    ASSERT_EQ(emissivity.status, 200) << emissivity.body;
    EXPECT_EQ(JsonObject(emissivity.body)->getValue<double>("value"), 0.34);
    EXPECT_EQ(radiometric.model().env[2], 3400);
    EXPECT_EQ(JsonObject(Get(port_, "/api/cameras/0/settings").body)->getValue<double>("emissivity"), 0.34);
    EXPECT_EQ(Put(port_, "/api/cameras/1/settings/palette", "\"7\"\n").status, 200);
    EXPECT_EQ(imageOnly.model().palette, 7);
    EXPECT_EQ(radiometric.model().palette, 0);
    const int shutters = radiometric.model().shutterCount;
    RequestSetup shutter;
    shutter.method = "POST";
    shutter.path = "/api/cameras/0/shutter";
    EXPECT_EQ(Send(port_, shutter).status, 200);
    EXPECT_EQ(radiometric.model().shutterCount, shutters + 1);
    // A camera refusal comes back with the library's code and its meaning.
    Reply refused = Put(port_, "/api/cameras/1/settings/emissivity", "0.5");
    ExpectError(refused, 409, 2, "emissivity on an image-only stream");
    EXPECT_NE(refused.body.find("not supported"), std::string::npos) << refused.body;

    // Snapshot and temperatures.
    Reply iron = Get(port_, "/api/cameras/0/snapshot.png");
    ASSERT_EQ(iron.status, 200);
    EXPECT_EQ(iron.headers["Content-Type"], "image/png");
    std::ofstream("iron.png", std::ios::binary) << iron.body;
    const PngPicture picture = ReadPng("iron.png");
    ASSERT_TRUE(picture.ok);
    EXPECT_EQ(picture.width, 256);
    EXPECT_EQ(picture.height, 192);
    EXPECT_NE(Get(port_, "/api/cameras/0/snapshot.png?colormap=black-hot").body, iron.body);
    std::ofstream("image.png", std::ios::binary) << Get(port_, "/api/cameras/1/snapshot.png?palette=rainbow").body;
    EXPECT_EQ(ReadPng("image.png").width, 384);

    Reply csv = Get(port_, "/api/cameras/0/temperature.csv");
    ASSERT_EQ(csv.status, 200);
    std::istringstream rows(csv.body);
    std::string row;
    int lines = 0;
    while (std::getline(rows, row)) {
        if (lines == hy) {
            std::istringstream cells(row);
            std::string cell;
            for (int x = 0; x <= hx; ++x)
                std::getline(cells, cell, ',');
            EXPECT_NEAR(std::stod(cell), radiometric.SceneTenths(hx, hy) / 10.0, 1e-9);
        }
        ++lines;
    }
    EXPECT_EQ(lines, 192);
    ExpectError(Get(port_, "/api/cameras/1/temperature.csv"), 409, 2, "CSV of an image-only stream");

    // The page and its files, and nothing else.
    Reply page = Get(port_, "/");
    EXPECT_EQ(page.status, 200);
    EXPECT_EQ(page.headers["Content-Type"], "text/html; charset=utf-8");
    EXPECT_NE(page.headers["Content-Security-Policy"].find("default-src 'self'"), std::string::npos);
    EXPECT_EQ(Get(port_, "/app.js").headers["Content-Type"], "text/javascript; charset=utf-8");
    EXPECT_EQ(Get(port_, "/style.css").status, 200);
}

TEST_F(ServeTest, BadInputGetsAClientErrorAndReachesNoCamera)
{
    vcam::Camera& camera = vcam::AddCamera();
    // The server reads the settings once when the camera opens, and the
    // measurements not again during this test.
    ServerOptions options;
    options.measureEvery = std::chrono::hours(1);
    Serve(options);
    ASSERT_EQ(Get(port_, "/api/cameras/0/settings").status, 200);
    camera.ClearRequests();

    ExpectError(Put(port_, "/api/cameras/0/settings/no-such", "1"), 404, 404, "unknown setting");
    ExpectError(Put(port_, "/api/cameras/0/settings/fpa-size", "1"), 405, 405, "read-only setting");
    ExpectError(Put(port_, "/api/cameras/0/settings/emissivity", "abc"), 400, 400, "not a number");
    ExpectError(Put(port_, "/api/cameras/0/settings/emissivity", "1.5"), 400, 400, "out of range");
    ExpectError(Put(port_, "/api/cameras/0/settings/palette", "2.5"), 400, 400, "not an integer");
    ExpectError(Put(port_, "/api/cameras/0/settings/palette", ""), 400, 400, "empty value");
    ExpectError(Put(port_, "/api/cameras/3/settings/palette", "1"), 404, 404, "no such camera");
    ExpectError(Put(port_, "/api/cameras/-1/settings/palette", "1"), 404, 404, "negative index");
    ExpectError(Put(port_, "/api/cameras/99999999999/settings/palette", "1"), 404, 404, "huge index");
    ExpectError(Get(port_, "/api/cameras/0/shutter"), 405, 405, "GET on the shutter");
    ExpectError(Put(port_, "/api/cameras/0/settings", "1"), 405, 405, "PUT on all settings");
    ExpectError(Get(port_, "/api/cameras/0/snapshot.png?colormap=sepia"), 400, 400, "unknown colour map");
    ExpectError(Get(port_, "/api/cameras/0/stream"), 426, 426, "stream without the upgrade");
    ExpectError(Get(port_, "/api/elsewhere"), 404, 404, "unknown API path");
    ExpectError(Get(port_, "/secret.txt"), 404, 404, "unknown file");
    ExpectError(Get(port_, "/" + std::string(3000, 'a')), 414, 414, "long URI");

    RequestSetup big;
    big.method = "PUT";
    big.path = "/api/cameras/0/settings/palette";
    big.body = std::string(5000, '1');
    ExpectError(Send(port_, big), 413, 413, "oversized body");
    big.chunked = true;
    ExpectError(Send(port_, big), 413, 413, "oversized chunked body");

    // Nothing reached the camera; a good request still does.
    EXPECT_TRUE(camera.requests().empty());
    EXPECT_EQ(Put(port_, "/api/cameras/0/settings/palette", "4").status, 200);
    EXPECT_FALSE(camera.requests().empty());
}

TEST_F(ServeTest, ForeignOriginsHostsAndPathsAreRefused)
{
    vcam::Camera& camera = vcam::AddCamera();
    Serve();
    const std::string self = "127.0.0.1:" + std::to_string(port_);

    RequestSetup change;
    change.method = "PUT";
    change.path = "/api/cameras/0/settings/palette";
    change.body = "5";
    change.headers["Origin"] = "http://attacker.example";
    ExpectError(Send(port_, change), 403, 403, "foreign Origin");
    change.headers["Origin"] = "null";
    ExpectError(Send(port_, change), 403, 403, "opaque Origin");
    EXPECT_EQ(camera.model().palette, 0);
    change.headers["Origin"] = "http://" + self;
    EXPECT_EQ(Send(port_, change).status, 200);
    EXPECT_EQ(camera.model().palette, 5);

    // A refused request's body does not spill into the next request on the
    // same connection.
    {
        Poco::Net::HTTPClientSession session("127.0.0.1", port_);
        session.setTimeout(Poco::Timespan(30, 0));
        Poco::Net::HTTPRequest refused("PUT", "/api/cameras/0/settings/palette", Poco::Net::HTTPMessage::HTTP_1_1);
        refused.set("Origin", "http://attacker.example");
        refused.setContentLength(3);
        refused.setKeepAlive(true);
        session.sendRequest(refused) << "GET";
        Poco::Net::HTTPResponse first;
        std::ostringstream ignored;
        Poco::StreamCopier::copyStream(session.receiveResponse(first), ignored);
        EXPECT_EQ(first.getStatus(), 403);
        Poco::Net::HTTPRequest next("GET", "/api/cameras", Poco::Net::HTTPMessage::HTTP_1_1);
        session.sendRequest(next);
        Poco::Net::HTTPResponse second;
        Poco::StreamCopier::copyStream(session.receiveResponse(second), ignored);
        EXPECT_EQ(second.getStatus(), 200);
    }

    EXPECT_THROW(StreamClient(port_, 0, {{"Origin", "http://attacker.example"}}), Poco::Net::WebSocketException);
    StreamClient sameOrigin(port_, 0, {{"Origin", "http://" + self}});
    EXPECT_TRUE(sameOrigin.NextFrame().binary);

    // DNS rebinding: a name that is not ours in the Host header.
    RequestSetup rebound;
    rebound.path = "/api/cameras";
    for (const std::string& host : std::vector<std::string>{"attacker.example:" + std::to_string(port_),
                                                            "127.0.0.1:1", "127.0.0.1",
                                                            "0x7f.1:" + std::to_string(port_)}) {
        rebound.host = host;
        ExpectError(Send(port_, rebound), 403, 403, "Host '" + host + "'");
    }
    for (const std::string& host :
         std::vector<std::string>{"localhost:" + std::to_string(port_), self, "[::1]:" + std::to_string(port_)}) {
        rebound.host = host;
        EXPECT_EQ(Send(port_, rebound).status, 200) << host;
    }

    for (const char* path : {"/../etc/passwd", "/%2e%2e/%2e%2e/etc/passwd", "/api/../index.html", "/..%2fapp.js",
                             "/a/..", "/app.js%00.png", "/..\\app.js"})
        ExpectError(Get(port_, path), 400, 400, path);
}

TEST_F(ServeTest, WithATokenEveryRequestNeedsIt)
{
    vcam::AddCamera();
    ServerOptions options;
    options.token = "s3cret";
    Serve(options);

    ExpectError(Get(port_, "/"), 401, 401, "no token");
    ExpectError(Get(port_, "/api/cameras?token=guess"), 401, 401, "wrong token");
    EXPECT_THROW(StreamClient(port_, 0), Poco::Net::WebSocketException);

    Reply page = Get(port_, "/?token=s3cret");
    EXPECT_EQ(page.status, 200);
    const std::string cookie = page.headers["Set-Cookie"];
    EXPECT_NE(cookie.find("HttpOnly"), std::string::npos) << cookie;
    EXPECT_NE(cookie.find("SameSite=Strict"), std::string::npos) << cookie;

    RequestSetup withHeader;
    withHeader.path = "/api/cameras";
    withHeader.headers["Authorization"] = "Bearer s3cret";
    EXPECT_EQ(Send(port_, withHeader).status, 200);
    RequestSetup withCookie;
    withCookie.path = "/app.js";
    withCookie.headers["Cookie"] = "theme=dark; " + cookie.substr(0, cookie.find(';'));
    EXPECT_EQ(Send(port_, withCookie).status, 200);
    StreamClient stream(port_, 0, {{"X-Token", "s3cret"}});
    EXPECT_TRUE(stream.NextFrame().binary);

    // HTTP Basic, as players and video recorders send it: the password is
    // the token, the user name is not looked at. A wrong one gets the
    // challenge that makes such clients ask for credentials.
    for (const auto& [credentials, status] :
         std::vector<std::pair<std::string, int>>{{"viewer:s3cret", 200}, {":s3cret", 200}, {"viewer:guess", 401}}) {
        const ChildResult curl = RunChild({"/usr/bin/curl", "-sS", "-m", "20", "-o", "/dev/null", "-w",
                                           "%{http_code} %header{www-authenticate}", "-u", credentials,
                                           Url("/api/cameras")},
                                          30);
        EXPECT_EQ(curl.out.substr(0, 3), std::to_string(status)) << credentials << ": " << curl.out << curl.err;
        if (status == 401) {
            EXPECT_EQ(curl.out, "401 Basic realm=\"vivazuzoz\"");
        }
    }
    EXPECT_EQ(Get(port_, "/api/cameras").headers["WWW-Authenticate"], "Basic realm=\"vivazuzoz\"");
}

TEST_F(ServeTest, TheFirstScrapeHasTheFrameRate)
{
    vcam::AddCamera();
    Serve();
    // A few frames in, the first scrape of all already has the rate (25
    // frames a second on the virtual camera), not 0.
    ASSERT_TRUE(Eventually([&] { return hub_->Counters(0).frames >= 5; }));
    const Reply metrics = Get(port_, "/metrics");
    ASSERT_EQ(metrics.status, 200);
    const std::string name = "vivazuzoz_frame_rate_fps{camera=\"0\"";
    const size_t at = metrics.body.find(name);
    ASSERT_NE(at, std::string::npos) << metrics.body;
    const size_t value = metrics.body.find("} ", at) + 2;
    const double fps = std::stod(metrics.body.substr(value, metrics.body.find('\n', value) - value));
    EXPECT_GT(fps, 10);
    EXPECT_LT(fps, 40);
}

TEST_F(ServeTest, AClientThatNeverReadsDoesNotHoldUpTheOthers)
{
    vcam::AddCamera();
    ServerOptions options;
    options.sendTimeout = std::chrono::milliseconds(2000);
    Serve(options);

    // A client that asks for the stream and then reads nothing, with a
    // small receive buffer so the server's sends to it stall early.
    Poco::Net::StreamSocket stalled(Poco::Net::SocketAddress::IPv4);
    stalled.setReceiveBufferSize(4096);
    stalled.connect(Poco::Net::SocketAddress("127.0.0.1", port_));
    const std::string handshake = "GET /api/cameras/0/stream HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) +
                                  "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                                  "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
    stalled.sendBytes(handshake.data(), static_cast<int>(handshake.size()));

    StreamClient reader(port_, 0);
    uint64_t firstSequence = reader.NextFrame().header.sequence;
    uint64_t received = 0;
    // The reader keeps getting new frames until the server has given up on
    // the stalled client, which shows that the stall really happened.
    while (server_->stats().clientsDropped == 0) {
        const auto frame = reader.NextFrame();
        ASSERT_GT(frame.header.sequence, firstSequence);
        firstSequence = frame.header.sequence;
        ++received;
        ASSERT_LT(received, 100000u) << "the stalled client was never dropped";
    }
    // At least 2 s passed, 50 frames at 25 fps; the reader got a fair share.
    EXPECT_GE(received, 10u);
    EXPECT_TRUE(Eventually([&] { return server_->stats().streams == 1; }));
    EXPECT_GT(reader.NextFrame().header.sequence, firstSequence);
}

TEST_F(ServeTest, MaxFpsSendsTheNewestFrameAtTheCappedRate)
{
    vcam::AddCamera();
    ServerOptions options;
    options.maxFps = 2;
    Serve(options);
    StreamClient capped(port_, 0);
    const uint64_t first = capped.NextFrame().header.sequence;
    uint64_t last = first;
    constexpr int kFrames = 5;
    for (int i = 0; i < kFrames; ++i)
        last = capped.NextFrame().header.sequence;
    // The camera sends 25 frames a second, the client gets 2, each the
    // newest: about twelve camera frames pass per frame sent, where without
    // the cap it would be one. Only a camera slowed below 4 frames a second
    // by a loaded machine would pass fewer than two.
    EXPECT_GE(last - first, 2u * kFrames) << "sequence " << first << " to " << last;
}

TEST_F(ServeTest, AVanishedCameraIsReportedWhileTheOtherStreamsOnAndANewOneAppears)
{
    vcam::Camera& leaving = vcam::AddCamera();
    vcam::AddCamera();
    Serve();
    StreamClient stream0(port_, 0), stream1(port_, 1);
    stream0.NextFrame();
    stream1.NextFrame();

    leaving.Unplug();
    // The stream of the vanished camera says so, and stays open.
    for (;;) {
        const auto message = stream0.Next();
        if (!message.binary) {
            ExpectGoneState(message.data);
            break;
        }
    }
    const auto cameras = ParseJson(Get(port_, "/api/cameras").body).extract<Poco::JSON::Array::Ptr>();
    EXPECT_FALSE(cameras->getObject(0)->getValue<bool>("live"));
    EXPECT_TRUE(cameras->getObject(1)->getValue<bool>("live"));
    ExpectError(Get(port_, "/api/cameras/0/settings"), 503, 503, "settings of a vanished camera");
    ExpectError(Get(port_, "/api/cameras/0/snapshot.png"), 503, 503, "snapshot of a vanished camera");

    uint64_t sequence = stream1.NextFrame().header.sequence;
    for (int i = 0; i < 5; ++i) {
        const uint64_t next = stream1.NextFrame().header.sequence;
        EXPECT_GT(next, sequence);
        sequence = next;
    }

    // A camera plugged in while serving is found and streams. A device
    // without a capture node, plugged in just before it, gets no slot (as a
    // camera caught by a search between its device and its node would not).
    vcam::CameraSetup nodeless;
    nodeless.captureNodes = 0;
    vcam::AddCamera(nodeless);
    vcam::Camera& arriving = vcam::AddCamera();
    ASSERT_TRUE(Eventually([&] { return hub_->View(2).live; }, std::chrono::milliseconds(30000)));
    const auto list = ParseJson(Get(port_, "/api/cameras").body).extract<Poco::JSON::Array::Ptr>();
    ASSERT_EQ(list->size(), 3u);
    EXPECT_EQ(list->getObject(2)->getValue<std::string>("video_path"), arriving.videoPath());
    StreamClient stream2(port_, 2);
    EXPECT_EQ(stream2.NextFrame().header.width, 256);
}

TEST_F(ServeTest, StopClosesEveryStreamAndCamera)
{
    vcam::Camera& camera = vcam::AddCamera();
    Serve();
    StreamClient stream(port_, 0);
    stream.NextFrame();
    ASSERT_TRUE(camera.streaming());

    server_->Stop();
    EXPECT_THROW(
        {
            for (;;)
                stream.Next();
        },
        Poco::Exception);
    EXPECT_EQ(server_->stats().streams, 0);
    hub_->Close();
    EXPECT_FALSE(camera.videoOpen());
    EXPECT_THROW(Get(port_, "/"), Poco::Exception);
}

TEST_F(ServeTest, ACameraThatComesBackStreamsAgainUnderItsIndexOnTheSameStream)
{
    const std::string path = vcam::AddCamera().videoPath();
    Serve();
    StreamClient stream(port_, 0);
    const uint64_t before = stream.NextFrame().header.sequence;

    // Every camera removed, then one made again: the emulator gives it the
    // same capture node, as a camera plugged into the same port gets.
    vcam::RemoveAll();
    for (;;) {
        const auto message = stream.Next();
        if (!message.binary) {
            ExpectGoneState(message.data);
            break;
        }
    }
    vcam::Camera& again = vcam::AddCamera();
    ASSERT_EQ(again.videoPath(), path);
    for (;;) {
        const auto message = stream.Next();
        if (!message.binary) {
            ASSERT_EQ(message.data, "{\"type\":\"state\",\"live\":true}");
            break;
        }
    }
    EXPECT_GT(stream.NextFrame().header.sequence, before);
    const std::string cameras = Get(port_, "/api/cameras").body;
    const auto list = ParseJson(cameras).extract<Poco::JSON::Array::Ptr>();
    ASSERT_EQ(list->size(), 1u) << cameras;
    EXPECT_TRUE(list->getObject(0)->getValue<bool>("live"));
    EXPECT_EQ(Put(port_, "/api/cameras/0/settings/palette", "3").status, 200);
    EXPECT_EQ(again.model().palette, 3);
}

TEST_F(ServeTest, StreamsBeyondTheLimitAreRefusedUntilOneCloses)
{
    vcam::AddCamera();
    ServerOptions options;
    options.maxStreams = 1;
    Serve(options);
    {
        StreamClient first(port_, 0);
        EXPECT_TRUE(first.NextFrame().binary);
        EXPECT_THROW(StreamClient(port_, 0), Poco::Net::WebSocketException);
        // The API still answers while the streams are taken.
        EXPECT_EQ(Get(port_, "/api/cameras").status, 200);
    }
    ASSERT_TRUE(Eventually([&] { return server_->stats().streams == 0; }));
    StreamClient second(port_, 0);
    EXPECT_TRUE(second.NextFrame().binary);
}

TEST_F(ServeTest, FramesOfAShutterCorrectionCarryItsFlagsAndTheListCountsCorrections)
{
    vcam::CameraSetup setup;
    setup.shutterMs = 400;
    setup.shutterLook = vcam::ShutterLook::Flat;
    vcam::Camera& camera = vcam::AddCamera(setup);
    Serve();
    StreamClient stream(port_, 0);
    EXPECT_EQ(stream.NextFrame().header.flags, kFrameHasTemperature);
    auto list = ParseJson(Get(port_, "/api/cameras").body).extract<Poco::JSON::Array::Ptr>()->getObject(0);
    EXPECT_EQ(list->getValue<int>("corrections"), 0);
    EXPECT_TRUE(list->isNull("seconds_since_correction"));

    // The page's button: the correction runs through the camera's session.
    std::thread button([this] {
        RequestSetup shutter;
        shutter.method = "POST";
        shutter.path = "/api/cameras/0/shutter";
        EXPECT_EQ(Send(port_, shutter).status, 200);
    });
    // Flat frames flagged shutter, then live ones flagged settling, then plain ones.
    std::vector<uint32_t> flags;
    for (int i = 0; i < 200 && (flags.empty() || flags.back() != kFrameHasTemperature || flags.size() < 30); ++i) {
        const auto message = stream.NextFrame();
        std::vector<uint16_t> image;
        std::vector<int16_t> temps;
        FrameHeader header;
        ASSERT_TRUE(DecodeFrame(message.data, header, image, temps));
        const bool flat = std::all_of(temps.begin(), temps.end(), [&](int16_t t) { return t == temps[0]; });
        if (flat) {
            EXPECT_TRUE(header.flags & kFrameShutter);
        }
        if (!flags.empty() || header.flags != kFrameHasTemperature)
            flags.push_back(header.flags);
    }
    button.join();
    const auto shutterFrames = std::count(flags.begin(), flags.end(), kFrameHasTemperature | kFrameShutter);
    const auto settlingFrames = std::count(flags.begin(), flags.end(), kFrameHasTemperature | kFrameSettling);
    EXPECT_GE(shutterFrames, 5) << flags.size();
    EXPECT_GE(settlingFrames, 10);
    EXPECT_EQ(camera.model().shutterCount, 1);
    list = ParseJson(Get(port_, "/api/cameras").body).extract<Poco::JSON::Array::Ptr>()->getObject(0);
    EXPECT_EQ(list->getValue<int>("corrections"), 1);
    EXPECT_LT(list->getValue<double>("seconds_since_correction"), 30);
}

// The camera's temperature unit as the user declared it, in the camera list,
// a temperature setting's reply and /metrics; a number nobody declared is
// "unit N" there, never degrees Celsius.
TEST_F(ServeTest, TemperaturesCarryTheDeclaredUnit)
{
    setenv("VIVAZUZOZ_TEMP_UNITS", "1=F", 1);
    struct Undeclare {
        ~Undeclare() { unsetenv("VIVAZUZOZ_TEMP_UNITS"); }
    } undeclare;
    vcam::AddCamera();
    Serve();
    StreamClient stream(port_, 0);
    stream.NextFrame();
    const auto unitOfCamera = [this] {
        const auto first = ParseJson(Get(port_, "/api/cameras").body).extract<Poco::JSON::Array::Ptr>()->getObject(0);
        return first->getValue<std::string>("unit") + " " + first->getValue<std::string>("unit_label") + " " +
               (first->isNull("unit_number") ? "null" : first->getValue<std::string>("unit_number"));
    };
    const auto metrics = [this] { return Get(port_, "/metrics").body; };
    ASSERT_TRUE(Eventually([&] { return unitOfCamera() == "degC \u00b0C 0"; })) << unitOfCamera();
    EXPECT_NE(metrics().find("vivazuzoz_temperature_max_degrees{camera=\"0\",region=\"frame\",unit=\"degC\"}"),
              std::string::npos)
        << metrics();

    ASSERT_EQ(Put(port_, "/api/cameras/0/settings/temp-unit", "1").status, 200);
    EXPECT_EQ(unitOfCamera(), "degF \u00b0F 1");
    EXPECT_NE(metrics().find("region=\"frame\",unit=\"degF\"}"), std::string::npos) << metrics();
    const auto reflected = JsonObject(Put(port_, "/api/cameras/0/settings/reflected-temp", "70").body);
    EXPECT_EQ(reflected->getValue<std::string>("unit"), "degF");
    EXPECT_EQ(reflected->getValue<int>("unit_number"), 1);
    EXPECT_FALSE(JsonObject(Put(port_, "/api/cameras/0/settings/emissivity", "0.9").body)->has("unit"));

    ASSERT_EQ(Put(port_, "/api/cameras/0/settings/temp-unit", "2").status, 200);
    EXPECT_EQ(unitOfCamera(), "unit 2 unit 2 2");
    EXPECT_NE(metrics().find("region=\"frame\",unit=\"unit 2\"}"), std::string::npos) << metrics();
    EXPECT_EQ(metrics().find("degC"), std::string::npos);

    // The settings list says which settings are temperatures.
    const auto list = ParseJson(Get(port_, "/api/settings").body).extract<Poco::JSON::Array::Ptr>();
    std::string temperatures;
    for (size_t i = 0; i < list->size(); ++i)
        if (list->getObject(i)->getValue<bool>("temperature"))
            temperatures += list->getObject(i)->getValue<std::string>("name") + " ";
    EXPECT_EQ(temperatures, "atmos-temp reflected-temp fpa-temp camera-temp ");
}
