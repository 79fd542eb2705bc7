// Recording files: what the writer puts in them, what the reader accepts, how
// a failed write leaves them, and which frames a time-lapse keeps.
#include "frame_taker.h"
#include <vivaclient/recording.h>

#include "../support/scratch_dir.h"
#include "../support/text_search.h"

#include <vivaclient/gdal_metadata.h>

#include <gtest/gtest.h>
#include <tiffio.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

using namespace vivaclient;

using namespace vivatool;

namespace {

constexpr int kWidth = 8;
constexpr int kHeight = 4;
constexpr size_t kSamples = kWidth * kHeight;

// What `record` writes on the first page, for a layout of kWidth x kHeight.
std::string Description(bool withTemp)
{
    return std::string("{\"format\":\"vivazuzoz recording\",\"version\":1,\"camera\":\"Lab \\\"A\\\"\",") +
           "\"width\":8,\"height\":4,\"layout\":\"" + (withTemp ? "image and temperature" : "image only") +
           "\",\"frame_rate\":25,\"settings\":{\"palette\":3,\"emissivity\":0.95}}";
}

// Frame n's planes: every sample different, the extremes of both types in
// every frame (the image's 0xFFFF must not turn negative, the temperatures'
// -32768 must not turn positive).
std::vector<uint16_t> Image(int n)
{
    std::vector<uint16_t> plane(kSamples);
    for (size_t i = 0; i < kSamples; ++i)
        plane[i] = static_cast<uint16_t>(n * 1000 + i * 37);
    plane[0] = 0xFFFF;
    return plane;
}

std::vector<int16_t> Temp(int n)
{
    std::vector<int16_t> plane(kSamples);
    for (size_t i = 0; i < kSamples; ++i)
        plane[i] = static_cast<int16_t>(-200 + n * 10 + static_cast<int>(i) * 3);
    plane[1] = -32768;
    plane[2] = 32767;
    return plane;
}

std::string WriteRecording(const std::string& path, int frames, bool bigTiff, bool withTemp = true)
{
    RecordingWriter writer;
    std::string error = writer.Create(path, RecordingLayout{kWidth, kHeight, withTemp}, bigTiff);
    for (int n = 0; n < frames && error.empty(); ++n) {
        const std::vector<uint16_t> image = Image(n);
        const std::vector<int16_t> temp = Temp(n);
        error = writer.Append(image.data(), temp.data(), static_cast<uint64_t>(n * 3), n * 0.125,
                              Description(withTemp));
    }
    if (error.empty())
        error = writer.Close();
    return error;
}

std::string ReadBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteBytes(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

}  // namespace

TEST(Recording, FramesReadBackExactlyWithTheirSequenceTimeAndDescription)
{
    ScratchDir dir;
    for (bool bigTiff : {false, true}) {
        SCOPED_TRACE(bigTiff ? "BigTIFF" : "classic TIFF");
        ASSERT_EQ(WriteRecording("r.tiff", 4, bigTiff), "");
        RecordingReader reader;
        ASSERT_EQ(reader.Open("r.tiff"), "");
        EXPECT_EQ(reader.layout().width, kWidth);
        EXPECT_EQ(reader.layout().height, kHeight);
        EXPECT_TRUE(reader.layout().withTemp);
        ASSERT_EQ(reader.frames(), 4u);
        EXPECT_EQ(JsonText(reader.description(), "camera"), "Lab \"A\"");
        EXPECT_EQ(JsonNumber(reader.description(), "settings.palette"), 3);
        EXPECT_DOUBLE_EQ(reader.rate(), 8.0);  // 3 intervals over 0.375 s
        // Out of order on purpose: going back must work as well as forward.
        for (int n : {2, 3, 0, 1}) {
            RecordedFrame frame;
            ASSERT_EQ(reader.Read(static_cast<size_t>(n), frame), "");
            EXPECT_EQ(frame.image, Image(n)) << "frame " << n;
            EXPECT_EQ(frame.temp, Temp(n)) << "frame " << n;
            EXPECT_EQ(frame.sequence, static_cast<uint64_t>(n * 3));
            EXPECT_DOUBLE_EQ(frame.time, n * 0.125);
        }
    }

    // An image-only recording has one page per frame and no temperatures.
    ASSERT_EQ(WriteRecording("image.tiff", 3, false, false), "");
    RecordingReader reader;
    ASSERT_EQ(reader.Open("image.tiff"), "");
    EXPECT_EQ(reader.frames(), 3u);
    RecordedFrame frame;
    ASSERT_EQ(reader.Read(2, frame), "");
    EXPECT_EQ(frame.image, Image(2));
    EXPECT_TRUE(frame.temp.empty());
}

TEST(Recording, PagesCarryTheirOwnTypesAndDescriptionsForOtherReaders)
{
    ScratchDir dir;
    ASSERT_EQ(WriteRecording("r.tiff", 2, false), "");
    TIFF* tif = TIFFOpen("r.tiff", "r");
    ASSERT_NE(tif, nullptr);
    int pages = 0;
    do {
        uint16_t format = 0, bits = 0;
        char* description = nullptr;
        TIFFGetField(tif, TIFFTAG_SAMPLEFORMAT, &format);
        TIFFGetField(tif, TIFFTAG_BITSPERSAMPLE, &bits);
        ASSERT_EQ(TIFFGetField(tif, TIFFTAG_IMAGEDESCRIPTION, &description), 1);
        const bool temperature = pages % 2 == 1;
        EXPECT_EQ(bits, 16);
        EXPECT_EQ(format, temperature ? SAMPLEFORMAT_INT : SAMPLEFORMAT_UINT) << "page " << pages;
        EXPECT_EQ(JsonNumber(description, "frame"), pages / 2);
        EXPECT_EQ(JsonNumber(description, "sequence"), pages / 2 * 3);
        EXPECT_EQ(JsonText(description, "plane"), temperature ? "temperature" : "image");
        // The recording's description only once, on the first page.
        EXPECT_EQ(JsonText(description, "format").has_value(), pages == 0) << description;
        ++pages;
    } while (TIFFReadDirectory(tif));
    TIFFClose(tif);
    EXPECT_EQ(pages, 4);
}

TEST(Recording, BadFilesAreRefusedWithAMessageThatSaysWhy)
{
    ScratchDir dir;
    RecordingReader reader;
    EXPECT_TRUE(Contains(reader.Open("missing.tiff"), "No such file")) << reader.Open("missing.tiff");

    WriteBytes("text.tiff", "just some text, not a picture\n");
    EXPECT_EQ(reader.Open("text.tiff"), "text.tiff is not a TIFF file");
    WriteBytes("empty.tiff", "");
    EXPECT_EQ(reader.Open("empty.tiff"), "empty.tiff is not a TIFF file");

    // A TIFF of another kind: pages without a recording description.
    {
        TIFF* tif = TIFFOpen("plain.tiff", "w");
        ASSERT_NE(tif, nullptr);
        std::vector<uint16_t> row(kWidth);
        TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, kWidth);
        TIFFSetField(tif, TIFFTAG_IMAGELENGTH, 1);
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 16);
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFWriteScanline(tif, row.data(), 0, 0);
        TIFFClose(tif);
    }
    EXPECT_TRUE(Contains(reader.Open("plain.tiff"), "not a recording")) << reader.Open("plain.tiff");

    // A recording whose second frame is of another size.
    {
        RecordingWriter wide;
        ASSERT_EQ(wide.Create("mixed.tiff", RecordingLayout{kWidth, kHeight, false}, false), "");
        const std::vector<uint16_t> image = Image(0);
        ASSERT_EQ(wide.Append(image.data(), nullptr, 0, 0, Description(false)), "");
        ASSERT_EQ(wide.Close(), "");
        // Append a page of half the width with libtiff itself.
        TIFF* tif = TIFFOpen("mixed.tiff", "a");
        ASSERT_NE(tif, nullptr);
        TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, kWidth / 2);
        TIFFSetField(tif, TIFFTAG_IMAGELENGTH, kHeight);
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 16);
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, kHeight);
        TIFFWriteEncodedStrip(tif, 0, const_cast<uint16_t*>(image.data()), kWidth * kHeight);
        TIFFClose(tif);
    }
    EXPECT_EQ(reader.Open("mixed.tiff"), "mixed.tiff: page 2 (frame 1, image) is 4x4, not 8x4 like the recording");

    // Cut anywhere, a recording is refused with a message, never read past
    // its end (the sanitizers would see it).
    ASSERT_EQ(WriteRecording("whole.tiff", 3, false), "");
    const std::string whole = ReadBytes("whole.tiff");
    ASSERT_EQ(reader.Open("whole.tiff"), "");
    for (size_t length = 0; length < whole.size(); length += 7) {
        WriteBytes("cut.tiff", whole.substr(0, length));
        const std::string error = reader.Open("cut.tiff");
        ASSERT_FALSE(error.empty()) << "cut at " << length << " of " << whole.size();
        EXPECT_TRUE(Contains(error, "cut.tiff")) << error;
    }
}

// A full disk, or a file size limit: the write that fails ends the
// recording, and the file keeps exactly the frames completed before it.
TEST(Recording, AFailedWriteLeavesAReadableFileOfTheCompleteFrames)
{
    ScratchDir dir;
    const size_t frameBytes = kSamples * 2 * 2;
    // Each page also carries its own JSON and GDAL metadata (about 600 bytes).
    for (const rlim_t limit : {rlim_t(4 * frameBytes + 6000), rlim_t(100)}) {
        SCOPED_TRACE("file size limit " + std::to_string(limit));
        int pipeFds[2];
        ASSERT_EQ(pipe(pipeFds), 0);
        const pid_t pid = fork();
        if (pid == 0) {
            // The child writes under the limit and reports what it saw.
            signal(SIGXFSZ, SIG_IGN);
            const rlimit rl{limit, limit};
            setrlimit(RLIMIT_FSIZE, &rl);
            RecordingWriter writer;
            std::string error = writer.Create("limited.tiff", RecordingLayout{kWidth, kHeight, true}, false);
            int n = 0;
            for (; error.empty() && n < 1000; ++n) {
                const std::vector<uint16_t> image = Image(n);
                const std::vector<int16_t> temp = Temp(n);
                error = writer.Append(image.data(), temp.data(), static_cast<uint64_t>(n), n * 0.04, Description(true));
            }
            const std::string report = std::to_string(writer.frames()) + "\n" + error;
            if (write(pipeFds[1], report.data(), report.size()) < 0)
                _exit(2);
            _exit(0);
        }
        close(pipeFds[1]);
        std::string report;
        char buffer[512];
        ssize_t got;
        while ((got = read(pipeFds[0], buffer, sizeof buffer)) > 0)
            report.append(buffer, static_cast<size_t>(got));
        close(pipeFds[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        const size_t newline = report.find('\n');
        ASSERT_NE(newline, std::string::npos) << report;
        const size_t written = std::stoul(report.substr(0, newline));
        const std::string error = report.substr(newline + 1);
        EXPECT_TRUE(Contains(error, "File too large")) << error;

        RecordingReader reader;
        if (written == 0) {
            // Not one frame: no file is left that would not open anywhere.
            EXPECT_NE(access("limited.tiff", F_OK), 0);
            continue;
        }
        EXPECT_GE(written, 2u);
        ASSERT_EQ(reader.Open("limited.tiff"), "");
        ASSERT_EQ(reader.frames(), written);
        RecordedFrame last;
        ASSERT_EQ(reader.Read(written - 1, last), "");
        EXPECT_EQ(last.temp, Temp(static_cast<int>(written - 1)));
    }
}

TEST(Recording, DescriptionFieldsAreFoundAtTheirLevelOnly)
{
    const std::string json =
        "{ \"a\" : {\"b\": [1, {\"c\": 2}], \"c\": \"x\\\"y\\u00e9\"}, \"n\": -2.5e1, \"s\": \"}\", \"c\": true }";
    EXPECT_EQ(JsonText(json, "a.c"), "x\"y\xc3\xa9");
    EXPECT_EQ(JsonNumber(json, "n"), -25.0);
    EXPECT_EQ(JsonText(json, "s"), "}");
    EXPECT_EQ(JsonField(json, "c"), "true");       // the top-level "c", not a nested one
    EXPECT_EQ(JsonField(json, "a.b"), "[1, {\"c\": 2}]");
    EXPECT_FALSE(JsonNumber(json, "s").has_value());  // a string is no number
    EXPECT_FALSE(JsonField(json, "b").has_value());
    EXPECT_FALSE(JsonField("[1]", "a").has_value());
    EXPECT_FALSE(JsonField("{\"a\": ", "a").has_value());
}

TEST(TimeLapse, KeepsTheFirstFrameOfEachIntervalAndSkipsMissedOnes)
{
    // 25 frames a second, one kept every 0.2 s: every fifth frame.
    TimeLapse lapse(0.2);
    std::vector<int> kept;
    for (int n = 0; n < 25; ++n)
        if (lapse.Take(n * 0.04))
            kept.push_back(n);
    EXPECT_EQ(kept, (std::vector<int>{0, 5, 10, 15, 20}));

    // A gap in the stream: the frame after it is kept, and the slots it
    // missed are not made up by the frames that follow.
    TimeLapse gap(1.0);
    EXPECT_TRUE(gap.Take(0.0));
    EXPECT_FALSE(gap.Take(0.9));
    EXPECT_TRUE(gap.Take(3.5));
    EXPECT_FALSE(gap.Take(3.6));
    EXPECT_TRUE(gap.Take(4.0));

    TimeLapse all(0);
    EXPECT_TRUE(all.Take(0.0));
    EXPECT_TRUE(all.Take(0.0));
}

namespace {

// A recording as files were written before pages declared their scale and
// unit: JSON descriptions only, no GDAL metadata.
void WriteOldRecording(const std::string& path, int frames)
{
    TIFF* tif = TIFFOpen(path.c_str(), "wl");
    ASSERT_NE(tif, nullptr);
    const std::string first =
        "{\"frame\":0,\"sequence\":0,\"time\":0.000000,\"plane\":\"image\",\"format\":\"vivazuzoz recording\","
        "\"version\":1,\"camera\":\"Old\",\"width\":8,\"height\":4,\"layout\":\"image and temperature\","
        "\"settings\":{\"temp-unit\":0,\"emissivity\":0.95}}";
    for (int n = 0; n < frames; ++n) {
        for (const bool temperature : {false, true}) {
            char text[160];
            std::snprintf(text, sizeof text, "{\"frame\":%d,\"sequence\":%d,\"time\":%.6f,\"plane\":\"%s\"}", n, n,
                          n * 0.04, temperature ? "temperature" : "image");
            TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, uint32_t(kWidth));
            TIFFSetField(tif, TIFFTAG_IMAGELENGTH, uint32_t(kHeight));
            TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 16);
            TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
            TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, temperature ? SAMPLEFORMAT_INT : SAMPLEFORMAT_UINT);
            TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
            TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, uint32_t(kHeight));
            TIFFSetField(tif, TIFFTAG_IMAGEDESCRIPTION, n == 0 && !temperature ? first.c_str() : text);
            std::vector<uint16_t> image = Image(n);
            std::vector<int16_t> temp = Temp(n);
            void* data = temperature ? static_cast<void*>(temp.data()) : static_cast<void*>(image.data());
            ASSERT_EQ(TIFFWriteEncodedStrip(tif, 0, data, kSamples * 2), tmsize_t(kSamples * 2));
            ASSERT_TRUE(TIFFWriteDirectory(tif));
        }
    }
    TIFFClose(tif);
}

// The GDAL metadata items of page `page` (from 0), or "" when it has none.
std::string GdalTagOfPage(const std::string& path, int page)
{
    RegisterGdalMetadataTag();
    TIFF* tif = TIFFOpen(path.c_str(), "r");
    if (!tif)
        return "cannot open";
    std::string xml;
    char* text = nullptr;
    if (TIFFSetDirectory(tif, static_cast<tdir_t>(page)) && TIFFGetField(tif, TIFFTAG_GDAL_METADATA, &text) == 1)
        xml = text;
    TIFFClose(tif);
    return xml;
}

}  // namespace

TEST(Recording, EveryPageDeclaresWhatItsValuesMeanAndOldFilesStillRead)
{
    ScratchDir dir;
    RecordingLayout layout{kWidth, kHeight, true};
    layout.unit = DeclaredUnit(1, "1=F");
    {
        RecordingWriter writer;
        ASSERT_EQ(writer.Create("new.tiff", layout, false), "");
        for (int n = 0; n < 2; ++n)
            ASSERT_EQ(writer.Append(Image(n).data(), Temp(n).data(), n, n * 0.04, Description(true)), "");
        ASSERT_EQ(writer.Close(), "");
    }
    for (int page = 0; page < 4; ++page) {
        SCOPED_TRACE("page " + std::to_string(page));
        const auto items = ParseGdalMetadata(GdalTagOfPage("new.tiff", page));
        if (page % 2 == 1) {
            EXPECT_EQ(FindGdalItem(items, "SCALE"), "0.1");
            EXPECT_EQ(FindGdalItem(items, "OFFSET"), "0");
            EXPECT_EQ(FindGdalItem(items, "UNITTYPE"), "degF");
            EXPECT_EQ(FindGdalItem(items, "TEMPERATURE_UNIT_NUMBER"), "1");
        } else {
            EXPECT_EQ(FindGdalItem(items, "UNITTYPE"), "counts");
            EXPECT_EQ(FindGdalItem(items, "SCALE"), "1");
        }
    }
    RecordingReader reader;
    ASSERT_EQ(reader.Open("new.tiff"), "");
    EXPECT_EQ(reader.layout().unit.symbol, "degF");
    EXPECT_EQ(reader.layout().unit.number, 1);

    // Written before pages declared anything: read as ever, the unit taken
    // from the recorded setting under today's declarations.
    WriteOldRecording("old.tiff", 3);
    EXPECT_EQ(GdalTagOfPage("old.tiff", 1), "");
    ASSERT_EQ(reader.Open("old.tiff"), "");
    ASSERT_EQ(reader.frames(), 3u);
    EXPECT_EQ(reader.layout().unit.symbol, "degC");
    RecordedFrame frame;
    ASSERT_EQ(reader.Read(2, frame), "");
    EXPECT_EQ(frame.temp, Temp(2));
    EXPECT_EQ(frame.image, Image(2));
    EXPECT_DOUBLE_EQ(frame.time, 0.08);
}
