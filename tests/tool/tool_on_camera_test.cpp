// The tool run in this process on virtual cameras, with the camera model and
// the scene as the oracle: environment values that read back exactly, info's
// cost in exchanges, the default camera, region figures and alarms.
#include "../support/eventually.h"
#include "../support/scratch_dir.h"
#include "../support/text_search.h"
#include "run_tool.h"
#include <vivaclient/camera.h>
#include <vivaclient/settings.h>
#include "temperature_csv.h"

#include <vcam/VirtualCamera.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <fstream>
#include <thread>

#include <signal.h>
#include <unistd.h>

using namespace vivaclient;

namespace {

// A scratch working directory, with the tool's state folder inside it.
class ToolOnCamera : public testing::Test {
protected:
    ToolOnCamera() { setenv("XDG_STATE_HOME", (scratch_.path() + "/state").c_str(), 1); }
    ~ToolOnCamera() override { vcam::RemoveAll(); }

    ScratchDir scratch_;
};

}  // namespace

TEST_F(ToolOnCamera, EnvironmentValuesReadBackExactlyAndUntouchedOnesNeverDrift)
{
    vcam::Camera& camera = vcam::AddCamera();
    const char* names[5] = {"atmos-temp", "distance", "emissivity", "reflected-temp", "transmittance"};
    // Values the library's truncation would send one unit short if the tool
    // passed the nearest float (0.0711 is the reported case).
    const char* values[5][2] = {{"0.0711", "-26.2142"}, {"2.0003", "0.3205"}, {"0.9501", "0.0007"},
                                {"-39.9993", "4.0002"}, {"0.2501", "0.9999"}};
    const vcam::Model initial = camera.model();
    int32_t expected[5];
    std::copy(std::begin(initial.env), std::end(initial.env), expected);
    // Each field set to both its values in turn, the others checked each time.
    for (int round = 0; round < 10; ++round) {
        const int field = round % 5;
        const char* value = values[field][(round / 5) % 2];
        const ToolRun set = RunCaptured({"set", names[field], value});
        ASSERT_EQ(set.status, 0) << set.err;
        expected[field] = static_cast<int32_t>(std::lround(std::atof(value) * 10000));
        const vcam::Model model = camera.model();
        for (int i = 0; i < 5; ++i)
            ASSERT_EQ(model.env[i], expected[i]) << "after set " << names[field] << " " << value << ", field " << names[i];
    }
    // And the tool reads them back as they were typed.
    const ToolRun info = RunCaptured({"info"});
    for (int i = 0; i < 5; ++i)
        EXPECT_TRUE(Contains(info.out, std::string(names[i]) + std::string(20 - std::strlen(names[i]), ' ') +
                                           values[i][1] + "\n"))
            << info.out;
}

TEST_F(ToolOnCamera, InfoAsksTheCameraOnceForEachValueItShows)
{
    vcam::Camera& camera = vcam::AddCamera();
    // What opening and closing cost alone: fpa-size needs no exchange.
    camera.ClearRequests();
    ASSERT_EQ(RunCaptured({"get", "fpa-size"}).status, 0);
    const size_t openCost = camera.requests().size();

    camera.ClearRequests();
    const ToolRun info = RunCaptured({"info", "--json"});
    ASSERT_EQ(info.status, 0) << info.err;
    const size_t exchanges = camera.requests().size() - openCost;
    // Count the values shown: every setting that is not null. The detector
    // size is known without asking; the others take one exchange each.
    size_t values = 0;
    for (const vivaclient::Setting& setting : vivaclient::Settings()) {
        const size_t at = info.out.find("\"" + std::string(setting.name) + "\":");
        ASSERT_NE(at, std::string::npos) << setting.name << " in " << info.out;
        const bool shown = info.out.compare(at + std::strlen(setting.name) + 3, 4, "null") != 0;
        values += shown && setting.access != vivaclient::SettingAccess::FpaSize;
    }
    EXPECT_GT(exchanges, 10u);
    EXPECT_LE(exchanges, values) << info.out;
}

TEST_F(ToolOnCamera, DefaultCameraIsTheFirstWithACommandPort)
{
    vcam::CameraSetup webcam;
    webcam.name = "Desk Webcam";
    webcam.ttyNodes = 0;
    vcam::AddCamera(webcam);
    vcam::CameraSetup thermal;
    thermal.name = "Thermal";
    vcam::Camera& camera = vcam::AddCamera(thermal);

    const ToolRun list = RunCaptured({"list"});
    ASSERT_EQ(list.status, 0) << list.err;
    EXPECT_TRUE(Contains(list.out, "(no command port: cannot be driven)")) << list.out;
    EXPECT_TRUE(Contains(list.out, camera.serialPath() + "  (default)")) << list.out;

    const ToolRun set = RunCaptured({"set", "palette", "7"});
    EXPECT_EQ(set.status, 0) << set.err;
    EXPECT_EQ(camera.model().palette, 7);
    // Asked for by index, the webcam still fails, saying why.
    const ToolRun webcamSet = RunCaptured({"set", "palette", "7", "-d", "0"});
    EXPECT_EQ(webcamSet.status, 1);
    EXPECT_TRUE(Contains(webcamSet.err, "no command port")) << webcamSet.err;
}

TEST_F(ToolOnCamera, RegionFiguresAreTheScenesAroundTheHotObject)
{
    vcam::Camera& camera = vcam::AddCamera();
    const int x = camera.HotspotX() - 12, y = camera.HotspotY() - 12, w = 25, h = 25;
    int min = 100000, max = -100000;
    long long sum = 0;
    for (int j = y; j < y + h; ++j)
        for (int i = x; i < x + w; ++i) {
            ASSERT_TRUE(camera.IsStatic(i, j));
            const int t = camera.SceneTenths(i, j);
            min = std::min(min, t), max = std::max(max, t), sum += t;
        }
    const std::string mean = vivatool::FormatTenths(static_cast<int>(std::lround(sum / double(w * h))));
    const std::string roi = std::to_string(x) + "," + std::to_string(y) + "," + std::to_string(w) + "," + std::to_string(h);

    const ToolRun run = RunCaptured({"stream", "--frames", "3", "--json", "--roi", "plate=" + roi, "--roi", "0,0,4,4"});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string expected = "\"plate\":{\"x\":" + std::to_string(x) + ",\"y\":" + std::to_string(y) +
                                 ",\"width\":25,\"height\":25,\"min\":" + vivatool::FormatTenths(min) +
                                 ",\"max\":" + vivatool::FormatTenths(max) + ",\"mean\":" + mean + "}";
    EXPECT_TRUE(Contains(run.out, expected)) << "expected " << expected << " in " << run.out;
    EXPECT_TRUE(Contains(run.out, "\"roi2\":{\"x\":0,\"y\":0,\"width\":4,\"height\":4,\"min\":" +
                                      vivatool::FormatTenths(camera.SceneTenths(0, 0))))
        << run.out;
    // Every line is one JSON object.
    EXPECT_EQ(run.out.front(), '{');
    EXPECT_EQ(Count(run.out, "\n{"), Count(run.out, "\n") - 1);

    const ToolRun text = RunCaptured({"stream", "--frames", "3", "--roi", "plate=" + roi});
    EXPECT_TRUE(Contains(text.out, "; plate min " + vivatool::FormatTenths(min) + " max " +
                                       vivatool::FormatTenths(max) + " mean " + mean + "\n"))
        << text.out;
}

TEST_F(ToolOnCamera, AlarmFiresOncePerCrossingAndRunsTheCommandEachTime)
{
    vcam::Camera& camera = vcam::AddCamera();
    // Switch the hot plate off, on and off again while the stream runs, each
    // time once the command has run for the alarm change before; then let
    // a second of frames pass, in which a flapping alarm would show, and end
    // the stream as Ctrl-C does.
    const std::string logPath = scratch_.path() + "/alarms.log";
    auto logLines = [&logPath] {
        std::ifstream log(logPath);
        return static_cast<size_t>(std::count(std::istreambuf_iterator<char>(log), std::istreambuf_iterator<char>(), '\n'));
    };
    std::thread switcher([&] {
        for (size_t seen = 1; seen <= 3; ++seen) {
            if (!Eventually([&] { return logLines() >= seen; }, std::chrono::seconds(30)))
                break;
            camera.SetHotObject(seen % 2 == 0);
        }
        Eventually([&] { return logLines() >= 4; }, std::chrono::seconds(30));
        const uint64_t now = camera.framesDequeued();
        Eventually([&] { return camera.framesDequeued() >= now + 25; }, std::chrono::seconds(30));
        kill(getpid(), SIGINT);
    });
    const ToolRun run = RunCaptured({"stream", "--alarm-above", "80", "--exec",
                                     "echo \"$VIVAZUZOZ_ALARM_EVENT $VIVAZUZOZ_ALARM_VALUE\" >> alarms.log"});
    switcher.join();
    EXPECT_EQ(run.status, 0) << "Ctrl-C is how an unlimited stream ends: " << run.err;
    EXPECT_TRUE(Contains(run.out, "Received ")) << "the stream ended in order";
    // On at the start (raised), off (cleared), on (raised), off (cleared):
    // the mug at 58 C stays far below the threshold, the plate far above.
    EXPECT_EQ(Count(run.out, "ALARM raised: frame max 110.0 is above 80.0"), 2u) << run.out;
    EXPECT_EQ(Count(run.out, "Alarm cleared: frame max 58.0 is back below 80.0"), 2u) << run.out;
    std::ifstream log(logPath);
    std::string all((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    EXPECT_EQ(all, "raised 110.0\ncleared 58.0\nraised 110.0\ncleared 58.0\n");

    // --exit-on-alarm ends the stream at the first one, with status 3.
    camera.SetHotObject(true);
    const ToolRun exit = RunCaptured({"stream", "--seconds", "60", "--alarm-above", "80", "--exit-on-alarm", "--json"});
    EXPECT_EQ(exit.status, 3) << exit.err;
    EXPECT_EQ(exit.out.rfind("{\"type\":\"alarm\",\"event\":\"raised\",\"kind\":\"above\",\"target\":\"frame\"", 0), 0u)
        << exit.out;
}
