// The files a snapshot writes: the PNG picture and the temperature CSV.
#include "png_reader.h"
#include "png_writer.h"
#include "temperature_csv.h"

#include <gtest/gtest.h>

#include <unistd.h>
#include <fstream>
#include <sstream>

using namespace vivatool;

namespace {

bool Exists(const std::string& path)
{
    return access(path.c_str(), F_OK) == 0;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

TEST(PngWriter, WrittenPictureReadsBackWithTheSameSizeAndPixels)
{
    const int width = 5, height = 3;
    std::vector<uint8_t> rgb(width * height * 3);
    for (size_t i = 0; i < rgb.size(); ++i)
        rgb[i] = static_cast<uint8_t>(i * 7);
    const std::string path = "written.png";
    ASSERT_EQ(WritePng(path, width, height, rgb), "");

    const PngPicture picture = ReadPng(path);
    std::remove(path.c_str());
    ASSERT_TRUE(picture.ok);
    EXPECT_EQ(picture.width, width);
    EXPECT_EQ(picture.height, height);
    EXPECT_EQ(picture.colorType, PNG_FORMAT_RGB);
    EXPECT_EQ(picture.rgb, rgb);
}

TEST(PngWriter, FailuresSayWhyAndLeaveNoFile)
{
    const std::vector<uint8_t> pixel = {1, 2, 3};
    const std::string error = WritePng("no-such-dir/out.png", 1, 1, pixel);
    EXPECT_NE(error.find("no-such-dir/out.png"), std::string::npos) << error;
    EXPECT_NE(error.find("No such file"), std::string::npos) << error;

    EXPECT_NE(WritePng("short.png", 2, 1, pixel), "");  // data for one pixel, size of two
    EXPECT_FALSE(Exists("short.png"));
    EXPECT_NE(WritePng("empty.png", 0, 0, {}), "");
    EXPECT_FALSE(Exists("empty.png"));
}

TEST(TemperatureCsv, TenthsBecomeDegreesWithOneDecimal)
{
    EXPECT_EQ(FormatTenths(253), "25.3");
    EXPECT_EQ(FormatTenths(250), "25.0");
    EXPECT_EQ(FormatTenths(0), "0.0");
    EXPECT_EQ(FormatTenths(7), "0.7");
    EXPECT_EQ(FormatTenths(-5), "-0.5");  // the sign of a value below one degree survives
    EXPECT_EQ(FormatTenths(-15), "-1.5");
    EXPECT_EQ(FormatTenths(32767), "3276.7");
    EXPECT_EQ(FormatTenths(-32768), "-3276.8");
}

TEST(TemperatureCsv, PlaneIsWrittenOneRowPerLine)
{
    const int16_t plane[6] = {253, -5, 0, 1000, 12, -273};
    EXPECT_EQ(TemperatureCsv(plane, 3, 2), "25.3,-0.5,0.0\n100.0,1.2,-27.3\n");

    ASSERT_EQ(WriteTemperatureCsv("plane.csv", plane, 3, 2), "");
    EXPECT_EQ(ReadFile("plane.csv"), "25.3,-0.5,0.0\n100.0,1.2,-27.3\n");
    std::remove("plane.csv");

    EXPECT_NE(WriteTemperatureCsv("no-such-dir/plane.csv", plane, 3, 2).find("cannot create"), std::string::npos);
}
