// The live view's compact stream, MJPEG stream and JPEG snapshot on virtual
// cameras, with the server in this process: what each sends, that a frame
// is encoded once for all its clients, the token in the query, the client
// limit and slow viewers; and ffprobe, a program of its own, reading the
// MJPEG stream and the snapshot.
#include "../child_process.h"
#include "compact_frames.h"
#include "http_client.h"
#include "served_hub.h"
#include "mjpeg_stream.h"
#include "live_server.h"
#include <vivaclient/camera.h>

#include "../../support/eventually.h"

#include <vcam/VirtualCamera.h>

#include <Poco/Net/StreamSocket.h>

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <cstdlib>
#include <sstream>
#include <thread>

using namespace vivaclient;

using namespace vivatool;
using namespace vivatool::serve;

namespace {

class CompactServeTest : public ServedHub {};

// A WebSocket client of the compact stream.
class CompactClient {
public:
    CompactClient(uint16_t port, int camera) : session_("127.0.0.1", port)
    {
        Poco::Net::HTTPRequest request(Poco::Net::HTTPRequest::HTTP_GET,
                                       "/api/cameras/" + std::to_string(camera) + "/stream?mode=compact",
                                       Poco::Net::HTTPMessage::HTTP_1_1);
        socket_ = std::make_unique<Poco::Net::WebSocket>(session_, request, response_);
        socket_->setReceiveTimeout(Poco::Timespan(30, 0));
    }

    // The next binary message, its header decoded.
    std::string Next(CompactHeader& header)
    {
        for (;;) {
            Poco::Buffer<char> buffer(0);
            int flags = 0;
            const int n = socket_->receiveFrame(buffer, flags);
            if (n <= 0 && flags == 0)
                throw Poco::Net::ConnectionResetException("stream ended");
            if ((flags & Poco::Net::WebSocket::FRAME_OP_BITMASK) != Poco::Net::WebSocket::FRAME_OP_BINARY)
                continue;  // a state message
            std::string message(buffer.begin(), static_cast<size_t>(n));
            if (!DecodeCompactHeader(message, header))
                throw Poco::DataFormatException("not a compact message");
            return message;
        }
    }

private:
    Poco::Net::HTTPClientSession session_;
    Poco::Net::HTTPResponse response_;
    std::unique_ptr<Poco::Net::WebSocket> socket_;
};

bool JpegSize(const std::string& jpeg, int& width, int& height)
{
    tjhandle handle = tjInitDecompress();
    int subsampling = 0, colourspace = 0;
    const bool ok = tjDecompressHeader3(handle, reinterpret_cast<const unsigned char*>(jpeg.data()),
                                        static_cast<unsigned long>(jpeg.size()), &width, &height, &subsampling,
                                        &colourspace) == 0;
    tjDestroy(handle);
    return ok;
}

// A viewer of stream.mjpg on a plain socket: the response header, then
// each part's JPEG.
class MjpegReader {
public:
    MjpegReader(uint16_t port, const std::string& path)
    {
        socket_.connect(Poco::Net::SocketAddress("127.0.0.1", port));
        socket_.setReceiveTimeout(Poco::Timespan(30, 0));
        const std::string request =
            "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n";
        socket_.sendBytes(request.data(), static_cast<int>(request.size()));
        header = Until("\r\n\r\n");
    }

    std::string NextJpeg()
    {
        const std::string partHeader = Until("\r\n\r\n");
        const size_t at = partHeader.find("Content-Length: ");
        if (partHeader.find(std::string("--") + kMjpegBoundary) == std::string::npos || at == std::string::npos)
            throw Poco::DataFormatException("not a part: " + partHeader);
        const size_t length = std::stoul(partHeader.substr(at + 16));
        while (buffered_.size() < length + 2)
            Fill();
        std::string jpeg = buffered_.substr(0, length);
        buffered_.erase(0, length + 2);  // and its CRLF
        return jpeg;
    }

    std::string header;

private:
    std::string Until(const std::string& end)
    {
        size_t at;
        while ((at = buffered_.find(end)) == std::string::npos)
            Fill();
        std::string text = buffered_.substr(0, at + end.size());
        buffered_.erase(0, at + end.size());
        return text;
    }

    void Fill()
    {
        char chunk[65536];
        const int n = socket_.receiveBytes(chunk, sizeof chunk);
        if (n <= 0)
            throw Poco::Net::ConnectionResetException("the stream ended");
        buffered_.append(chunk, static_cast<size_t>(n));
    }

    Poco::Net::StreamSocket socket_;
    std::string buffered_;
};

// A program on PATH, or "" (the test then skips, or fails under CI=true).
std::string FindProgram(const std::string& name)
{
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path ? path : "/usr/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const std::string candidate = dir + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return "";
}

bool InCi()
{
    const char* ci = std::getenv("CI");
    return ci && std::string(ci) != "" && std::string(ci) != "0" && std::string(ci) != "false";
}

}  // namespace

TEST_F(CompactServeTest, CompactStreamSendsPicturesAndExactTemperaturesEncodedOnce)
{
    vcam::Camera& camera = vcam::AddCamera();  // 256x192 with temperatures
    Serve();
    const int hx = camera.HotspotX(), hy = camera.HotspotY();

    CompactClient clients[3] = {CompactClient(port_, 0), CompactClient(port_, 0), CompactClient(port_, 0)};
    uint64_t firstSequence = 0, lastSequence = 0;
    int pictures = 0, temperatures = 0;
    for (int i = 0; i < 60; ++i) {
        for (CompactClient& client : clients) {
            CompactHeader header;
            const std::string message = client.Next(header);
            ASSERT_EQ(header.width, 256);
            ASSERT_EQ(header.height, 192);
            ASSERT_TRUE(header.flags & kCompactValuesAreTenths);
            if (header.flags & kCompactTemperatures) {
                // The temperature plane holds the scene exactly.
                std::vector<int16_t> plane;
                ASSERT_TRUE(DecodeCompactTemperatures(message, plane));
                EXPECT_EQ(plane[size_t(hy) * 256 + hx], camera.SceneTenths(hx, hy));
                ++temperatures;
                continue;
            }
            ++pictures;
            int w = 0, h = 0;
            ASSERT_TRUE(JpegSize(message.substr(kCompactHeaderSize), w, h));
            EXPECT_EQ(w, 256);
            EXPECT_EQ(h, 192);
            // The hot object is the hottest thing in the scene.
            EXPECT_GE(header.high, camera.SceneTenths(hx, hy));
            EXPECT_LE(header.low, header.high);
            // A picture is a small part of the raw frame's bytes.
            EXPECT_LT(message.size(), FrameMessageSize(256, 192, true) / 8);
            if (!firstSequence)
                firstSequence = header.sequence;
            lastSequence = std::max(lastSequence, header.sequence);
        }
    }
    EXPECT_GT(temperatures, 0);
    // Fewer temperature messages than pictures (they go a few times a second).
    EXPECT_LT(temperatures, pictures);
    // Three clients, yet each frame encoded at most once.
    EXPECT_LE(server_->stats().compactPictures, lastSequence - firstSequence + 2);
}

TEST_F(CompactServeTest, CompactStreamOfAnImageOnlyCameraSendsPicturesOfTheImagePlane)
{
    vcam::CameraSetup setup;
    setup.width = 384;
    setup.height = 288;
    setup.withTemp = false;
    vcam::AddCamera(setup);
    Serve();
    RequestSetup badMode;
    badMode.path = "/api/cameras/0/stream?mode=tiny";
    badMode.headers = {{"Upgrade", "websocket"}, {"Connection", "Upgrade"},
                       {"Sec-WebSocket-Key", "dGhlIHNhbXBsZSBub25jZQ=="}, {"Sec-WebSocket-Version", "13"}};
    EXPECT_EQ(Send(port_, badMode).status, 400);
    CompactClient client(port_, 0);
    for (int i = 0; i < 10; ++i) {
        CompactHeader header;
        const std::string message = client.Next(header);
        EXPECT_EQ(header.flags, 0u) << "a picture of raw image values, and no temperature message";
        EXPECT_EQ(header.width, 384);
        EXPECT_LT(header.low, header.high);
        int w = 0, h = 0;
        ASSERT_TRUE(JpegSize(message.substr(kCompactHeaderSize), w, h));
        EXPECT_EQ(w, 384);
        EXPECT_EQ(h, 288);
    }
}

TEST_F(CompactServeTest, MjpegStreamAndSnapshotWithTheTokenInTheQuery)
{
    vcam::AddCamera();
    ServerOptions options;
    options.token = "s3cret";
    options.maxStreams = 2;
    options.sendTimeout = std::chrono::milliseconds(500);
    Serve(options);

    // The snapshot: refused without the token or with an unknown colour
    // map; a JPEG of the camera's size with it.
    EXPECT_EQ(Get(port_, "/api/cameras/0/snapshot.jpg").status, 401);
    EXPECT_EQ(Get(port_, "/api/cameras/0/snapshot.jpg?token=s3cret&colormap=plaid").status, 400);
    const Reply snapshot = Get(port_, "/api/cameras/0/snapshot.jpg?token=s3cret&colormap=iron");
    ASSERT_EQ(snapshot.status, 200) << snapshot.body;
    EXPECT_EQ(snapshot.headers.at("Content-Type"), "image/jpeg");
    int w = 0, h = 0;
    ASSERT_TRUE(JpegSize(snapshot.body, w, h));
    EXPECT_EQ(w, 256);
    EXPECT_EQ(h, 192);

    // The stream: multipart parts, each a JPEG of the camera's size.
    MjpegReader viewer(port_, "/api/cameras/0/stream.mjpg?token=s3cret&fps=25&colormap=rainbow");
    EXPECT_NE(viewer.header.find("200 OK"), std::string::npos) << viewer.header;
    EXPECT_NE(viewer.header.find(std::string("multipart/x-mixed-replace; boundary=") + kMjpegBoundary),
              std::string::npos)
        << viewer.header;
    std::string previous;
    for (int i = 0; i < 3; ++i) {
        const std::string jpeg = viewer.NextJpeg();
        ASSERT_TRUE(JpegSize(jpeg, w, h));
        EXPECT_EQ(w, 256);
        EXPECT_EQ(h, 192);
        EXPECT_NE(jpeg, previous);  // each part a new picture
        previous = jpeg;
    }

    // A viewer that reads nothing holds the second slot, so a third is
    // turned away, until the server drops it and frees its slot.
    Poco::Net::StreamSocket stalled(Poco::Net::SocketAddress::IPv4);
    stalled.setReceiveBufferSize(4096);
    stalled.connect(Poco::Net::SocketAddress("127.0.0.1", port_));
    const std::string request = "GET /api/cameras/0/stream.mjpg?token=s3cret&fps=30 HTTP/1.1\r\nHost: 127.0.0.1:" +
                                std::to_string(port_) + "\r\n\r\n";
    stalled.sendBytes(request.data(), static_cast<int>(request.size()));
    ASSERT_TRUE(Eventually([&] { return server_->stats().streams == 2; }));
    EXPECT_EQ(Get(port_, "/api/cameras/0/stream.mjpg?token=s3cret").status, 503);
    // The reading viewer goes on meanwhile.
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(JpegSize(viewer.NextJpeg(), w, h));
    ASSERT_TRUE(Eventually([&] { return server_->stats().clientsDropped == 1; }, std::chrono::seconds(30)));
    EXPECT_TRUE(Eventually([&] { return server_->stats().streams == 1; }));
    MjpegReader again(port_, "/api/cameras/0/stream.mjpg?token=s3cret");
    EXPECT_NE(again.header.find("200 OK"), std::string::npos) << again.header;
}

TEST_F(CompactServeTest, FfprobeReadsTheMjpegStreamAndTheSnapshot)
{
#ifdef VIVAZUZOZ_CROSS_BUILD
    GTEST_SKIP() << "a cross build's tests run under an emulator, where this machine's ffprobe is not the user's view";
#endif
    const std::string ffprobe = FindProgram("ffprobe");
    if (ffprobe.empty()) {
        if (InCi())
            FAIL() << "ffprobe is not installed (scripts/install-deps.sh --tests installs it); CI=true, so this test "
                      "may not be skipped";
        GTEST_SKIP() << "ffprobe is not installed (scripts/install-deps.sh --tests installs it)";
    }
    vcam::CameraSetup setup;
    setup.width = 640;
    setup.height = 512;
    vcam::AddCamera(setup);
    Serve();

    // 20 pictures of the camera's size from the multipart stream, read by
    // ffmpeg's own multipart JPEG demuxer.
    const ChildResult stream =
        RunChild({ffprobe, "-v", "error", "-f", "mpjpeg", "-read_intervals", "%+#20", "-show_entries",
                  "frame=width,height", "-of", "csv=p=0", Url("/api/cameras/0/stream.mjpg?colormap=iron&fps=25")},
                 60);
    ASSERT_EQ(stream.status, 0) << stream.err;
    std::istringstream lines(stream.out);
    std::string line;
    int frames = 0;
    while (std::getline(lines, line)) {
        EXPECT_EQ(line, "640,512");
        ++frames;
    }
    EXPECT_EQ(frames, 20) << stream.out << stream.err;

    const ChildResult snapshot = RunChild({ffprobe, "-v", "error", "-show_entries", "stream=codec_name,width,height",
                                           "-of", "csv=p=0", Url("/api/cameras/0/snapshot.jpg?colormap=rainbow")},
                                          60);
    ASSERT_EQ(snapshot.status, 0) << snapshot.err;
    EXPECT_EQ(snapshot.out, "mjpeg,640,512\n");
}
