// Every setting set and read back through the tool, run in this process on
// a virtual camera so that the camera keeps its state between the two runs.
#include "../support/scratch_dir.h"
#include "run_tool.h"

#include <vcam/VirtualCamera.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

TEST(ToolSettings, SetThenGetRoundTripsEverySettingAndReachesTheCamera)
{
    ScratchDir scratch;  // the tool's state folder (its log) goes inside
    setenv("XDG_STATE_HOME", scratch.path().c_str(), 1);
    vcam::Camera& camera = vcam::AddCamera();
    const std::vector<std::pair<std::string, std::string>> values = {
        {"palette", "13"},          {"temp-level", "2"},     {"temp-unit", "1"},
        {"image-level", "7"},      {"atmos-temp", "20"}, {"distance", "3.25"},
        {"emissivity", "0.34"},     {"reflected-temp", "30.1"}, {"transmittance", "0.8"},
        {"detail", "11"},          {"spatial-denoising", "12"}, {"contrast", "13"},
        {"brightness", "14"},      {"time-denoising", "15"}, {"dynamic-range", "16"},
    };
    for (const auto& [name, value] : values) {
        const ToolRun set = RunCaptured({"set", name, value});
        EXPECT_EQ(set.status, 0) << name << ": " << set.err;
        EXPECT_EQ(set.out, name + " set to " + value + "\n");
        const ToolRun get = RunCaptured({"get", name});
        EXPECT_EQ(get.status, 0) << name << ": " << get.err;
        EXPECT_EQ(get.out, name + ": " + value + "\n");
    }
    const vcam::Model model = camera.model();
    EXPECT_EQ(model.palette, 13);
    EXPECT_EQ(model.tempLevelCode, 3);  // level 2 is the camera's code 3
    EXPECT_EQ(model.env[0], 200000);  // 40 0D 03 00 on the wire
    EXPECT_EQ(model.env[2], 3400);
    EXPECT_EQ(model.env[4], 8000);
    EXPECT_EQ(model.tuning[2], 13);

    const ToolRun json = RunCaptured({"get", "emissivity", "--json"});
    EXPECT_EQ(json.status, 0) << json.err;
    EXPECT_EQ(json.out, "{\"name\":\"emissivity\",\"value\":0.34}\n");
    EXPECT_EQ(RunCaptured({"get", "fpa-size"}).out, "fpa-size: 256x192\n");
    EXPECT_EQ(RunCaptured({"get", "camera-temp"}).out, "camera-temp: 36.5\n");
    vcam::RemoveAll();
}
