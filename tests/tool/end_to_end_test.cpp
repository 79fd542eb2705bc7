// The built tool run as a child process under the virtual camera's wrapper,
// checked by its exit status, its output and the files it writes.
#include "child_process.h"
#include "png_reader.h"

#include <vcam/VirtualCamera.h>

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>

namespace {

// Generous: the machines are shared, and a hang must still end the test.
constexpr double kLimitSeconds = 60;

ChildResult Tool(const std::vector<std::string>& cameraOptions, const std::vector<std::string>& toolArgs)
{
    std::vector<std::string> argv = {VCAM_RUN_PATH};
    argv.insert(argv.end(), cameraOptions.begin(), cameraOptions.end());
    argv.push_back("--");
    argv.push_back(TOOL_PATH);
    argv.insert(argv.end(), toolArgs.begin(), toolArgs.end());
    return RunChild(argv, kLimitSeconds);
}

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

std::vector<std::vector<double>> ReadCsv(const std::string& path)
{
    std::vector<std::vector<double>> rows;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::vector<double> row;
        std::stringstream cells(line);
        std::string cell;
        while (std::getline(cells, cell, ','))
            row.push_back(std::stod(cell));
        rows.push_back(row);
    }
    return rows;
}

// Scene of a virtual camera of that size, asked in this process: the scene
// depends on the frame size only, so it is the one the tool's camera sees.
struct SceneProbe {
    explicit SceneProbe(int width, int height)
    {
        vcam::CameraSetup setup;
        setup.width = width;
        setup.height = height;
        camera = &vcam::AddCamera(setup);
    }
    ~SceneProbe() { vcam::RemoveAll(); }
    vcam::Camera* camera;
};

}  // namespace

TEST(ToolOnVirtualCamera, ListShowsEveryConfiguredCamera)
{
    const ChildResult text = Tool({"--cameras", "2", "--name", "Lab \"B\" camera"}, {"list"});
    ASSERT_EQ(text.status, 0) << text.err;
    EXPECT_TRUE(Contains(text.out, "INDEX")) << text.out;
    EXPECT_TRUE(Contains(text.out, "\n0      Lab \"B\" camera")) << text.out;
    EXPECT_TRUE(Contains(text.out, "\n1      Lab \"B\" camera")) << text.out;
    EXPECT_TRUE(Contains(text.out, "/dev/pts/")) << text.out;

    const ChildResult json = Tool({"--cameras", "2", "--name", "Lab \"B\" camera"}, {"list", "--json"});
    ASSERT_EQ(json.status, 0) << json.err;
    // Standard output holds the JSON alone, whatever the library prints.
    EXPECT_EQ(json.out.front(), '[') << json.out;
    EXPECT_EQ(json.out.substr(json.out.size() - 2), "]\n") << json.out;
    EXPECT_TRUE(Contains(json.out, "{\"index\":1,\"name\":\"Lab \\\"B\\\" camera\",\"video\":\"/dev/")) << json.out;
}

TEST(ToolOnVirtualCamera, SnapshotShowsTheScenesHotObjectAndWritesItsTemperatures)
{
    const int width = 384, height = 288;
    std::remove("scene.png");
    std::remove("scene.csv");
    const ChildResult run = Tool({"--size", "384x288"}, {"snapshot", "-o", "scene.png", "--palette", "white-hot",
                                                         "--temperature", "scene.csv"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(Contains(run.out, "Frame: 384x288, image and temperature")) << run.out;
    EXPECT_TRUE(Contains(run.out, "Temperature: min ")) << run.out;

    SceneProbe scene(width, height);
    const int hotX = scene.camera->HotspotX(), hotY = scene.camera->HotspotY();

    // The brightest part of a white-hot picture is the scene's hot object.
    const PngPicture picture = ReadPng("scene.png");
    ASSERT_TRUE(picture.ok);
    ASSERT_EQ(picture.width, width);
    ASSERT_EQ(picture.height, height);
    double sumX = 0, sumY = 0;
    int bright = 0;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            if (picture.at(x, y)[0] >= 230)
                sumX += x, sumY += y, ++bright;
    ASSERT_GT(bright, 0);
    EXPECT_NEAR(sumX / bright, hotX, width / 20.0);
    EXPECT_NEAR(sumY / bright, hotY, height / 20.0);

    // The CSV holds the scene's temperatures in degrees.
    const auto rows = ReadCsv("scene.csv");
    ASSERT_EQ(rows.size(), static_cast<size_t>(height));
    int compared = 0;
    double maximum = -1e9;
    for (int y = 0; y < height; ++y) {
        ASSERT_EQ(rows[y].size(), static_cast<size_t>(width)) << "row " << y;
        for (int x = 0; x < width; ++x) {
            maximum = std::max(maximum, rows[y][x]);
            if (!scene.camera->IsStatic(x, y))
                continue;
            ASSERT_EQ(std::lround(rows[y][x] * 10), scene.camera->SceneTenths(x, y)) << "at " << x << "," << y;
            ++compared;
        }
    }
    EXPECT_GT(compared, width * height / 2);

    // The printed summary agrees with the file.
    char max[32];
    std::snprintf(max, sizeof max, "max %.1f,", maximum);
    EXPECT_TRUE(Contains(run.out, max)) << run.out;
    int printedX = -1, printedY = -1;
    const size_t at = run.out.find("Hottest pixel: x ");
    ASSERT_NE(at, std::string::npos) << run.out;
    ASSERT_EQ(std::sscanf(run.out.c_str() + at, "Hottest pixel: x %d, y %d", &printedX, &printedY), 2);
    EXPECT_NEAR(printedX, hotX, width / 20.0);
    EXPECT_NEAR(printedY, hotY, height / 20.0);
    EXPECT_EQ(rows[printedY][printedX], maximum);
    std::remove("scene.png");
    std::remove("scene.csv");
}

TEST(ToolOnVirtualCamera, ImageOnlyStreamGivesAPictureButNoTemperatures)
{
    std::remove("image.png");
    std::remove("image.csv");
    const ChildResult shot = Tool({"--mode", "image"}, {"snapshot", "-o", "image.png", "-t", "image.csv"});
    EXPECT_EQ(shot.status, 1);
    EXPECT_TRUE(Contains(shot.out, "Frame: 256x192, image only")) << shot.out;
    EXPECT_TRUE(Contains(shot.out, "The stream carries no temperatures")) << shot.out;
    EXPECT_TRUE(Contains(shot.err, "image.csv not written: the stream carries no temperatures")) << shot.err;
    const PngPicture picture = ReadPng("image.png");
    EXPECT_TRUE(picture.ok);
    EXPECT_EQ(picture.width, 256);
    EXPECT_EQ(std::ifstream("image.csv").good(), false);
    std::remove("image.png");

    // The settings that need temperatures are reported, not fatal.
    const ChildResult info = Tool({"--mode", "image"}, {"info"});
    EXPECT_EQ(info.status, 0) << info.err;
    EXPECT_TRUE(Contains(info.out, "256x192, image only")) << info.out;
    EXPECT_TRUE(Contains(info.out, "  temp-level          not supported\n")) << info.out;
    EXPECT_TRUE(Contains(info.out, "  emissivity          not supported\n")) << info.out;
    EXPECT_TRUE(Contains(info.out, "  palette             0\n")) << info.out;
    EXPECT_TRUE(Contains(info.out, "  fpa-temp            31.25\n")) << info.out;
}

TEST(ToolOnVirtualCamera, StreamReportsFramesAndTemperatureRangeInPlainLines)
{
    const ChildResult run = Tool({}, {"stream", "--frames", "10"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(Contains(run.out, "Received 10 frames in ")) << run.out;
    EXPECT_TRUE(Contains(run.out, " degrees\n")) << run.out;
    EXPECT_FALSE(Contains(run.out, "\r")) << "a pipe gets no carriage returns";
}

TEST(ToolOnVirtualCamera, CameraThatVanishesDuringStreamEndsItWithAMessage)
{
    const ChildResult run = Tool({"--unplug-after", "2"}, {"stream"});
    ASSERT_FALSE(run.timedOut) << "the stream hung after the camera went away";
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(Contains(run.err, "stream ended")) << run.err;
    EXPECT_TRUE(Contains(run.out, "Received ")) << run.out;
}

TEST(ToolOnVirtualCamera, FailuresNameTheCallAndTheResultsMeaning)
{
    // The camera refuses palette numbers above 15.
    const ChildResult refused = Tool({}, {"set", "palette", "99"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(Contains(refused.err, "OZL_USB_SetPalleteType failed with result 1 (failure: the camera did not "
                                      "answer or answered wrongly)"))
        << refused.err;

    const ChildResult missing = Tool({}, {"info", "-d", "3"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_TRUE(Contains(missing.err, "no camera with index 3 (1 camera found")) << missing.err;

    const ChildResult unsupported = Tool({"--mode", "image"}, {"get", "temp-unit", "--json"});
    EXPECT_EQ(unsupported.status, 1);
    EXPECT_EQ(unsupported.out, "");
    EXPECT_TRUE(Contains(unsupported.err, "OZL_USB_GetTempUnit failed with result 2 (not supported")) << unsupported.err;
}
