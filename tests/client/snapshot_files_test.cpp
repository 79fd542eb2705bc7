// Snapshot files: the TIFF and the radiometric JPEG give back exactly what
// was written, the JPEG's segments follow its documented layout, damage is
// refused with a reason, and units mean what the user declared.
#include "../support/scratch_dir.h"
#include "../support/text_search.h"

#include <vivaclient/colormaps.h>
#include <vivaclient/gdal_metadata.h>
#include <vivaclient/radiometric_jpeg.h>
#include <vivaclient/snapshot_file.h>
#include <vivaclient/temperature_tiff.h>
#include <vivaclient/temperature_unit.h>

#include <gtest/gtest.h>

#include <cstring>
#include <random>

using namespace vivaclient;

namespace {

// A plane with the extremes of int16, negative values and noise (so that
// a large plane compresses badly and needs several segments).
ThermalSnapshot Shot(int width, int height, int unitNumber, const std::string& declarations)
{
    ThermalSnapshot shot;
    shot.width = width;
    shot.height = height;
    std::mt19937 random(7);
    std::uniform_int_distribution<int> value(-32768, 32767);
    for (int i = 0; i < width * height; ++i) {
        shot.tenths.push_back(static_cast<int16_t>(value(random)));
        shot.image.push_back(static_cast<uint16_t>(i * 7));
    }
    shot.tenths[0] = -32768;
    shot.tenths[1] = 32767;
    shot.tenths[2] = -5;
    shot.facts.camera = "Lab \"A\" <1> & co";
    shot.facts.time = "2026-12-08T09:42:36.123Z";
    shot.facts.unit = DeclaredUnit(unitNumber, declarations);
    shot.facts.hasEnv = true;
    const double env[kEnvFields] = {-12.5, 2.25, 0.95, 31.0001, 0.8};
    std::copy(env, env + kEnvFields, shot.facts.env);
    shot.facts.settings = {{"palette", "3"}, {"temp-unit", std::to_string(unitNumber)}, {"fpa-temp", "31.25"}};
    return shot;
}

void ExpectSameFacts(const SnapshotFacts& got, const SnapshotFacts& want)
{
    EXPECT_EQ(got.camera, want.camera);
    EXPECT_EQ(got.time, want.time);
    EXPECT_EQ(got.unit.number, want.unit.number);
    EXPECT_EQ(got.unit.symbol, want.unit.symbol);
    EXPECT_EQ(got.unit.name, want.unit.name);
    EXPECT_TRUE(got.hasEnv);
    for (int i = 0; i < kEnvFields; ++i)
        EXPECT_DOUBLE_EQ(got.env[i], want.env[i]) << kEnvNames[i];
    EXPECT_EQ(got.settings, want.settings);
}

std::string Jpeg(const ThermalSnapshot& shot)
{
    const auto rgb = Colourise(shot.tenths.data(), shot.width, shot.height, Colormaps().front().build());
    std::string bytes, error;
    EXPECT_TRUE(EncodeRadiometricJpeg(shot, rgb, 90, bytes, error)) << error;
    return bytes;
}

struct Segment {
    size_t at;  // offset of its FF byte
    uint8_t marker;
    std::string payload;
};

// The marker segments before the picture's scan, walked by their lengths.
std::vector<Segment> SegmentsOf(const std::string& jpeg)
{
    std::vector<Segment> segments;
    for (size_t at = 2; at + 4 <= jpeg.size();) {
        const uint8_t marker = static_cast<uint8_t>(jpeg[at + 1]);
        if (marker == 0xDA)
            break;
        const size_t length = (static_cast<uint8_t>(jpeg[at + 2]) << 8) | static_cast<uint8_t>(jpeg[at + 3]);
        segments.push_back({at, marker, jpeg.substr(at + 4, length - 2)});
        at += 2 + length;
    }
    return segments;
}

uint32_t Little(const std::string& s, size_t at, int bytes)
{
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = (v << 8) | static_cast<uint8_t>(s[at + static_cast<size_t>(i)]);
    return v;
}

}  // namespace

TEST(SnapshotFiles, TiffGivesBackEveryTemperatureTheImageAndTheFacts)
{
    ScratchDir dir;
    const ThermalSnapshot shot = Shot(64, 48, 1, "1=K");
    ASSERT_EQ(WriteTemperatureTiff("s.tiff", shot), "");
    ThermalSnapshot back;
    ASSERT_EQ(ReadSnapshotFile("s.tiff", back), "");
    EXPECT_EQ(back.width, 64);
    EXPECT_EQ(back.height, 48);
    EXPECT_EQ(back.tenths, shot.tenths);
    EXPECT_EQ(back.image, shot.image);
    ExpectSameFacts(back.facts, shot.facts);
    EXPECT_EQ(back.facts.unit.symbol, "K");

    // Not a snapshot: a message that names the file.
    ASSERT_EQ(WriteTemperatureTiff("s.tiff", ThermalSnapshot{}),
              "s.tiff not written: the snapshot has no temperature plane");
    EXPECT_TRUE(Contains(ReadSnapshotFile("missing.tiff", back), "missing.tiff"));
}

TEST(SnapshotFiles, JpegCarriesThePlaneInOrderedSegmentsAndGivesItBackExactly)
{
    // 640x512 of noise compresses to far more than one segment holds.
    const ThermalSnapshot shot = Shot(640, 512, 0, "");
    const std::string jpeg = Jpeg(shot);
    const std::vector<Segment> segments = SegmentsOf(jpeg);
    ASSERT_GE(segments.size(), 3u);
    EXPECT_EQ(segments[0].marker, 0xE0);  // JFIF first, as viewers expect
    EXPECT_EQ(segments[1].marker, 0xE1);
    EXPECT_EQ(segments[1].payload.substr(0, 29), std::string("http://ns.adobe.com/xap/1.0/\0", 29));
    EXPECT_TRUE(Contains(segments[1].payload, "vzt:Emissivity=\"0.95\""));
    EXPECT_TRUE(Contains(segments[1].payload, "vzt:Camera=\"Lab &quot;A&quot; &lt;1&gt; &amp; co\""));
    std::vector<const Segment*> temps;
    for (const Segment& s : segments)
        if (s.marker == kTempSegmentMarker)
            temps.push_back(&s);
    ASSERT_GE(temps.size(), 2u);
    size_t packed = 0;
    for (size_t i = 0; i < temps.size(); ++i) {
        const std::string& p = temps[i]->payload;
        SCOPED_TRACE("segment " + std::to_string(i));
        EXPECT_EQ(p.substr(0, 8), std::string("VZ-TEMP\0", 8));
        EXPECT_EQ(p[8], 1);  // version
        EXPECT_EQ(p[9], 1);  // signed 16-bit little-endian
        EXPECT_EQ(Little(p, 10, 2), i);
        EXPECT_EQ(Little(p, 12, 2), temps.size());
        EXPECT_EQ(Little(p, 14, 2), 640u);
        EXPECT_EQ(Little(p, 16, 2), 512u);
        double scale = 0;
        std::memcpy(&scale, p.data() + 18, 8);
        EXPECT_EQ(scale, 0.1);
        EXPECT_EQ(static_cast<int16_t>(Little(p, 34, 2)), 0);
        EXPECT_STREQ(p.c_str() + 36, "degC");
        EXPECT_LE(p.size(), 65533u);
        packed += p.size() - kTempHeaderBytes;
    }
    EXPECT_EQ(packed, Little(temps[0]->payload, 52, 4));

    ThermalSnapshot back;
    ASSERT_EQ(ParseRadiometricJpeg(jpeg, back), "");
    EXPECT_EQ(back.tenths, shot.tenths);
    ExpectSameFacts(back.facts, shot.facts);

    // Damage is refused, never read as other temperatures.
    const Segment& second = *temps[1];
    std::string missing = jpeg;
    missing.erase(second.at, second.payload.size() + 4);
    EXPECT_TRUE(Contains(ParseRadiometricJpeg(missing, back), "segments")) << ParseRadiometricJpeg(missing, back);
    std::string flipped = jpeg;
    flipped[second.at + 4 + kTempHeaderBytes + 100] ^= 0x10;
    EXPECT_FALSE(ParseRadiometricJpeg(flipped, back).empty());
    std::string swapped = jpeg;
    swapped.replace(temps[0]->at, temps[0]->payload.size() + 4, jpeg.substr(second.at, second.payload.size() + 4));
    EXPECT_FALSE(ParseRadiometricJpeg(swapped, back).empty());
    EXPECT_TRUE(Contains(ParseRadiometricJpeg(jpeg.substr(0, 100), back), "ends"));

    // A header that claims a plane far larger than its data could hold is
    // refused before anything is allocated for it.
    const std::string small = Jpeg(Shot(16, 16, 0, ""));
    std::string huge = small;
    for (const Segment& s : SegmentsOf(small))
        if (s.marker == kTempSegmentMarker)
            huge.replace(s.at + 4 + 14, 4, "\xFF\xFF\xFF\xFF");
    EXPECT_TRUE(Contains(ParseRadiometricJpeg(huge, back), "claims 65535x65535")) << ParseRadiometricJpeg(huge, back);
}

TEST(SnapshotFiles, UnitsMeanWhatIsDeclaredAndAnUndeclaredOneIsNamedByItsNumber)
{
    EXPECT_EQ(DeclaredUnit(0, "").symbol, "degC");  // the default
    EXPECT_EQ(DeclaredUnit(0, "").label,
              "\xC2\xB0"
              "C");
    EXPECT_EQ(DeclaredUnit(1, "").symbol, "unit 1");
    EXPECT_FALSE(DeclaredUnit(1, "").declared());
    EXPECT_EQ(DeclaredUnit(1, "1=F").name, "Fahrenheit");
    EXPECT_EQ(DeclaredUnit(0, "1=F").symbol, "degC");   // the default stays
    EXPECT_EQ(DeclaredUnit(0, "0=K,1=C").symbol, "K");  // unless redeclared
    EXPECT_EQ(DeclaredUnit(2, "2=Kelvin").symbol, "K");
    EXPECT_EQ(DeclaredUnit(-1, "").symbol, "unknown");
    std::string error;
    EXPECT_TRUE(CheckUnitDeclarations("0=C,1=F,2=K", error)) << error;
    for (const char* bad : {"1", "1=X", "x=C", "1=C,1=F", "300=C", "=C"}) {
        EXPECT_FALSE(CheckUnitDeclarations(bad, error)) << bad;
        EXPECT_FALSE(error.empty());
    }
    EXPECT_EQ(UnitFromFile(3, "degF").name, "Fahrenheit");
    EXPECT_EQ(UnitFromFile(3, "unit 3").symbol, "unit 3");
}

TEST(SnapshotFiles, FormatsAreChosenByNameAndGdalItemsSurviveEscaping)
{
    EXPECT_EQ(FormatOfName("a/b.TIF"), SnapshotFormat::Tiff);
    EXPECT_EQ(FormatOfName("x.jpeg"), SnapshotFormat::Jpeg);
    EXPECT_EQ(FormatOfName("x.csv"), SnapshotFormat::Csv);
    EXPECT_EQ(FormatOfName("dir.png/x"), std::nullopt);
    EXPECT_EQ(FormatOfName("x.bmp"), std::nullopt);
    EXPECT_EQ(ParseSnapshotFormat("JPG"), SnapshotFormat::Jpeg);

    const std::vector<GdalItem> items = {{"CAMERA", "a <b> & \"c\"", ""}, {"SCALE", "0.1", "scale"}};
    const auto back = ParseGdalMetadata(GdalMetadataXml(items));
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(back[0].value, items[0].value);
    EXPECT_EQ(back[1].role, "scale");
    EXPECT_EQ(FieldName("reflected-temp", FieldSpelling::Camel), "ReflectedTemp");
    EXPECT_EQ(FieldFromName("TEMPERATURE_UNIT_NUMBER", FieldSpelling::Upper), "temperature-unit-number");
}
