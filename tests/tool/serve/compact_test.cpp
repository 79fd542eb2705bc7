// The compact stream's and the JPEG pictures' encoding, without a server:
// the temperature plane comes back exactly, the grey picture stands for the
// frame's values within its quantisation, and a frame is encoded once
// however many clients ask.
#include "compact_frames.h"
#include "frame_message.h"
#include "mjpeg_stream.h"

#include <Poco/URI.h>

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <cmath>
#include <map>
#include <random>
#include <vivaclient/frame_stream.h>

using namespace vivaclient;

using namespace vivatool::serve;

namespace {

std::shared_ptr<const Frame> MakeFrame(int width, int height, const std::vector<uint16_t>& image,
                                       const std::vector<int16_t>* temp, uint64_t sequence)
{
    FrameHeader header;
    header.width = static_cast<uint16_t>(width);
    header.height = static_cast<uint16_t>(height);
    header.sequence = sequence;
    header.timestampMs = 1234.5;
    return Frame::Make(header, image.data(), temp ? temp->data() : nullptr);
}

// A warm scene: a smooth gradient, a hot disc and sensor noise, in tenths.
std::vector<int16_t> Scene(int width, int height, unsigned seed)
{
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> noise(-3, 3);
    std::vector<int16_t> plane(size_t(width) * height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const double r = std::hypot(x - width * 0.6, y - height * 0.4);
            plane[size_t(y) * width + x] =
                int16_t(220 + 40 * x / width + (r < height / 6.0 ? 400 : 0) + noise(random));
        }
    return plane;
}

std::vector<uint8_t> DecodeGreyJpeg(const std::string& message, int& width, int& height)
{
    const auto* jpeg = reinterpret_cast<const unsigned char*>(message.data() + kCompactHeaderSize);
    const auto size = static_cast<unsigned long>(message.size() - kCompactHeaderSize);
    tjhandle handle = tjInitDecompress();
    int subsampling = 0, colourspace = 0;
    std::vector<uint8_t> grey;
    if (tjDecompressHeader3(handle, jpeg, size, &width, &height, &subsampling, &colourspace) == 0) {
        grey.resize(size_t(width) * height);
        if (tjDecompress2(handle, jpeg, size, grey.data(), width, 0, height, TJPF_GRAY, 0) != 0)
            grey.clear();
    }
    tjDestroy(handle);
    return grey;
}

}  // namespace

TEST(CompactFrames, TemperaturePlaneComesBackExactly)
{
    // The scene, one row and one column, and planes whose neighbours differ
    // by the most an int16 can (the differences wrap around 2^16).
    struct Case {
        int width, height;
        std::vector<int16_t> temp;
    };
    std::vector<Case> cases{{640, 512, Scene(640, 512, 1)}, {7, 1, {}}, {1, 5, {}}, {4, 3, {}}};
    cases[1].temp = {-32768, 32767, -32768, 0, 32767, 1, -1};
    cases[2].temp = {32767, -32768, 32767, 0, -300};
    for (int i = 0; i < 12; ++i)
        cases[3].temp.push_back(int16_t(i % 2 ? 32767 - i : -32768 + i));
    for (const Case& c : cases) {
        const std::vector<uint16_t> image(c.temp.size(), 7);
        const auto frame = MakeFrame(c.width, c.height, image, &c.temp, 42);
        std::vector<uint8_t> scratch;
        std::string message;
        ASSERT_TRUE(EncodeCompactTemperatures(*frame, scratch, message)) << c.width << "x" << c.height;
        CompactHeader header;
        ASSERT_TRUE(DecodeCompactHeader(message, header));
        EXPECT_EQ(header.flags, kCompactTemperatures | kCompactValuesAreTenths);
        EXPECT_EQ(header.width, c.width);
        EXPECT_EQ(header.height, c.height);
        EXPECT_EQ(header.sequence, 42u);
        EXPECT_EQ(header.timestampMs, 1234.5);
        std::vector<int16_t> back;
        ASSERT_TRUE(DecodeCompactTemperatures(message, back));
        EXPECT_EQ(back, c.temp) << c.width << "x" << c.height;
        if (c.width == 640) {  // even with noise on every pixel, below half the raw 2 bytes a pixel
            EXPECT_LT(message.size(), c.temp.size()) << message.size();
        }
    }
    // A damaged message is refused, not read past its end.
    const std::vector<int16_t> temp = Scene(64, 48, 2);
    std::vector<uint8_t> scratch;
    std::string message;
    ASSERT_TRUE(EncodeCompactTemperatures(*MakeFrame(64, 48, std::vector<uint16_t>(temp.size()), &temp, 1), scratch,
                                          message));
    std::vector<int16_t> back;
    EXPECT_FALSE(DecodeCompactTemperatures(message.substr(0, message.size() - 10), back));
    EXPECT_FALSE(DecodeCompactTemperatures(message.substr(0, 20), back));
}

TEST(CompactFrames, GreyPictureStandsForTheFramesValues)
{
    const int w = 320, h = 256;
    const std::vector<int16_t> temp = Scene(w, h, 3);
    const std::vector<uint16_t> image(temp.size(), 100);
    vivaclient::JpegEncoder encoder;
    std::vector<uint8_t> scratch;
    std::string message;
    ASSERT_TRUE(EncodeCompactPicture(*MakeFrame(w, h, image, &temp, 9), encoder, 90, scratch, message));
    CompactHeader header;
    ASSERT_TRUE(DecodeCompactHeader(message, header));
    EXPECT_EQ(header.flags, kCompactValuesAreTenths);
    const auto low = std::min_element(temp.begin(), temp.end()), high = std::max_element(temp.begin(), temp.end());
    EXPECT_EQ(header.low, *low);
    EXPECT_EQ(header.high, *high);
    EXPECT_EQ(header.coldestAt, size_t(low - temp.begin()));
    EXPECT_EQ(header.hottestAt, size_t(high - temp.begin()));
    int dw = 0, dh = 0;
    const std::vector<uint8_t> grey = DecodeGreyJpeg(message, dw, dh);
    ASSERT_EQ(grey.size(), temp.size());
    EXPECT_EQ(dw, w);
    EXPECT_EQ(dh, h);
    // Each grey, mapped back, lies near the value: JPEG's loss on top of
    // the 256 steps is largest at the hot disc's sharp edge.
    const double step = (header.high - header.low) / 255;
    double worst = 0, sum = 0;
    for (size_t i = 0; i < temp.size(); ++i) {
        const double error = std::abs(header.low + grey[i] * step - temp[i]) / step;
        worst = std::max(worst, error);
        sum += error;
    }
    EXPECT_LT(worst, 24) << "greys";
    EXPECT_LT(sum / double(temp.size()), 1.5) << "greys";

    // Without temperatures, the image plane; a flat one is all grey 0.
    std::vector<uint16_t> ramp(64 * 8);
    for (size_t i = 0; i < ramp.size(); ++i)
        ramp[i] = uint16_t(60000 - i * 100);
    ASSERT_TRUE(EncodeCompactPicture(*MakeFrame(64, 8, ramp, nullptr, 1), encoder, 90, scratch, message));
    ASSERT_TRUE(DecodeCompactHeader(message, header));
    EXPECT_EQ(header.flags, 0u);
    EXPECT_EQ(header.low, ramp.back());
    EXPECT_EQ(header.high, ramp.front());
    EXPECT_EQ(header.hottestAt, 0u);
    EXPECT_EQ(header.coldestAt, ramp.size() - 1);
    ASSERT_TRUE(EncodeCompactPicture(*MakeFrame(64, 8, std::vector<uint16_t>(512, 5), nullptr, 2), encoder, 90,
                                     scratch, message));
    const std::vector<uint8_t> flat = DecodeGreyJpeg(message, dw, dh);
    ASSERT_EQ(flat.size(), 512u);
    EXPECT_EQ(*std::max_element(flat.begin(), flat.end()), 0);
}

TEST(CompactFrames, EachFrameIsEncodedOnceForAllClients)
{
    const std::vector<int16_t> temp = Scene(64, 48, 4);
    const std::vector<uint16_t> image(temp.size());
    CompactFrames frames;
    frames.temperatureEvery = std::chrono::hours(1);
    const auto first = MakeFrame(64, 48, image, &temp, 1), second = MakeFrame(64, 48, image, &temp, 2);
    const auto a = frames.Picture(first);
    ASSERT_TRUE(a);
    EXPECT_EQ(frames.Picture(first), a);  // a second client: the same message
    EXPECT_NE(frames.Picture(second), a);
    // A client that is behind gets the newest, not an older one again.
    EXPECT_EQ(frames.Picture(first)->sequence, 2u);
    EXPECT_EQ(frames.picturesEncoded(), 2u);

    const auto t = frames.Temperatures(first);
    ASSERT_TRUE(t);
    EXPECT_EQ(frames.Temperatures(second), t);  // within the period: the one there is
    EXPECT_EQ(frames.temperaturesEncoded(), 1u);
    frames.temperatureEvery = std::chrono::milliseconds(0);
    EXPECT_EQ(frames.Temperatures(second)->sequence, 2u);
    EXPECT_EQ(frames.temperaturesEncoded(), 2u);
    EXPECT_FALSE(frames.Temperatures(MakeFrame(64, 48, image, nullptr, 3)));  // no temperatures on the stream
}

TEST(JpegPictures, QueryOptionsAndSharing)
{
    JpegRequest request;
    std::string error;
    ASSERT_TRUE(ParseJpegRequest(Poco::URI("/x"), request, error));
    EXPECT_STREQ(request.colormap->name, "iron");  // the default, as the README says
    EXPECT_EQ(request.fps, 10);
    // An empty colormap= (a form left blank) is the default too.
    ASSERT_TRUE(ParseJpegRequest(Poco::URI("/x?colormap=&fps=5"), request, error)) << error;
    EXPECT_STREQ(request.colormap->name, "iron");
    ASSERT_TRUE(ParseJpegRequest(Poco::URI("/x?palette=rainbow"), request, error)) << error;
    EXPECT_STREQ(request.colormap->name, "rainbow");
    ASSERT_TRUE(ParseJpegRequest(Poco::URI("/x?colormap=iron&fps=2.5&token=t"), request, error)) << error;
    EXPECT_STREQ(request.colormap->name, "iron");
    EXPECT_EQ(request.fps, 2.5);
    for (const char* refused : {"/x?colormap=plaid", "/x?fps=0", "/x?fps=31", "/x?fps=ten", "/x?fps=nan"}) {
        error.clear();
        EXPECT_FALSE(ParseJpegRequest(Poco::URI(refused), request, error)) << refused;
        EXPECT_FALSE(error.empty()) << refused;
    }

    // One JpegFrames per camera, colour map and rate.
    JpegFrameCache cache;
    JpegRequest iron10, iron5, rainbow10;
    ParseJpegRequest(Poco::URI("/x?colormap=iron&fps=10"), iron10, error);
    ParseJpegRequest(Poco::URI("/x?colormap=iron&fps=5"), iron5, error);
    ParseJpegRequest(Poco::URI("/x?colormap=rainbow&fps=10.0"), rainbow10, error);
    EXPECT_EQ(cache.For(0, iron10), cache.For(0, iron10));
    EXPECT_NE(cache.For(0, iron10), cache.For(1, iron10));
    EXPECT_NE(cache.For(0, iron10), cache.For(0, iron5));
    EXPECT_NE(cache.For(0, iron10), cache.For(0, rainbow10));
    // A viewer cycling through rates does not grow the cache without end;
    // one that is held stays.
    const auto held = cache.For(0, iron10);
    for (int i = 0; i < 200; ++i) {
        JpegRequest rate = iron10;
        rate.fps = 1 + i * 0.1;
        cache.For(0, rate);
    }
    EXPECT_EQ(cache.For(0, iron10), held);
    EXPECT_LE(cache.size(), JpegFrameCache::kKeptUnused + 1);

    // Within a period the picture there is serves every viewer; a JPEG of
    // the frame's size comes out.
    const std::vector<int16_t> temp = Scene(80, 60, 5);
    JpegFrames frames(*iron10.colormap, 1e-3);  // a period of 1000 s
    const auto first = frames.Get(MakeFrame(80, 60, std::vector<uint16_t>(temp.size()), &temp, 1));
    ASSERT_TRUE(first);
    EXPECT_EQ(frames.Get(MakeFrame(80, 60, std::vector<uint16_t>(temp.size()), &temp, 2)), first);
    EXPECT_EQ(frames.encoded(), 1u);
    tjhandle handle = tjInitDecompress();
    int w = 0, h = 0, subsampling = 0, colourspace = 0;
    ASSERT_EQ(tjDecompressHeader3(handle, reinterpret_cast<const unsigned char*>(first->jpeg.data()),
                                  static_cast<unsigned long>(first->jpeg.size()), &w, &h, &subsampling, &colourspace),
              0);
    tjDestroy(handle);
    EXPECT_EQ(w, 80);
    EXPECT_EQ(h, 60);
    EXPECT_NE(colourspace, TJCS_GRAY);
}

// Three viewers of one rate (10 a second) under a camera at 25 frames a
// second, on a made-up clock: the camera stalls for 2 s, viewer A takes
// nothing for 1 s (a slow network), B joins late, C looks only every 30 ms.
// Each gets one picture in every 100 ms slot in which it was there and the
// camera had sent something new, each newer than its last; all share one
// picture a slot.
TEST(MjpegPacing, EveryViewerGetsItsRateAfterAStallAndBesideOthers)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    JpegFrames frames(*vivaclient::FindColormap("iron"), 10, start);
    const std::vector<int16_t> temp = Scene(32, 24, 3);
    const std::vector<uint16_t> image(temp.size());
    struct Viewer {
        MjpegPacer pacer;
        int from, every, awayFrom, awayTo;  // milliseconds
        std::map<int, uint64_t> pictures;   // slot: sequence of the frame shown
    };
    Viewer viewers[] = {{MjpegPacer(frames), 0, 2, 6000, 7000, {}},
                        {MjpegPacer(frames), 5050, 2, 0, 0, {}},
                        {MjpegPacer(frames), 0, 30, 0, 0, {}}};
    std::shared_ptr<const Frame> newest;
    uint64_t sequence = 0;
    for (int ms = 0; ms < 10000; ms += 2) {
        const Clock::time_point now = start + std::chrono::milliseconds(ms);
        if (ms % 40 == 0 && (ms < 2000 || ms >= 4000))
            newest = MakeFrame(32, 24, image, &temp, ++sequence);
        for (Viewer& v : viewers) {
            // As SendMjpeg: wait until due, then for a frame newer than seen.
            if (ms < v.from || ms % v.every || (ms >= v.awayFrom && ms < v.awayTo) || now < v.pacer.NextDue() ||
                newest->sequence() <= v.pacer.seen())
                continue;
            if (const auto picture = v.pacer.Take(newest, now)) {
                const uint64_t last = v.pictures.empty() ? 0 : v.pictures.rbegin()->second;
                EXPECT_GT(picture->sequence, last) << "at " << ms << " ms";
                EXPECT_TRUE(v.pictures.emplace(ms / 100, picture->sequence).second) << "two in a slot at " << ms;
            }
        }
    }
    const auto slots = [](std::initializer_list<std::pair<int, int>> ranges) {
        std::vector<int> list;
        for (const auto& [from, to] : ranges)
            for (int slot = from; slot < to; ++slot)
                list.push_back(slot);
        return list;
    };
    const auto taken = [](const Viewer& v) {
        std::vector<int> list;
        for (const auto& entry : v.pictures)
            list.push_back(entry.first);
        return list;
    };
    // The last frame before the stall comes in slot 19 and is shown in 20;
    // nothing new until slot 40. A is away in slots 60 to 69.
    EXPECT_EQ(taken(viewers[0]), slots({{0, 21}, {40, 60}, {70, 100}}));
    EXPECT_EQ(taken(viewers[1]), slots({{50, 100}}));
    EXPECT_EQ(taken(viewers[2]), slots({{0, 21}, {40, 100}}));
    EXPECT_EQ(frames.encoded(), 81u) << "one picture a slot, shared";
}
