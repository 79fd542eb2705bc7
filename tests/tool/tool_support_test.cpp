// What the commands share (tool_support.h): the options that several
// commands take, said alike by each, and the end of a streaming loop.
#include "tool_support.h"
#include "run_tool.h"

#include <vivaclient/camera_session.h>
#include <vivaclient/interrupt.h>

#include <gtest/gtest.h>

#include <csignal>

using namespace vivatool;

namespace {

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

}  // namespace

TEST(SharedOptions, ServeAndRtspRefuseABadListenOrTokenAlikeWithTheirOwnDefaultAsExample)
{
    std::vector<std::pair<std::string, std::string>> servers = {{"serve", "127.0.0.1:8080"}};
    if (RunCaptured({"help", "rtsp"}).status == kExitOk)  // built with GStreamer
        servers.emplace_back("rtsp", "127.0.0.1:8554");
    for (const auto& [command, example] : servers) {
        ToolRun run = RunCaptured({command, "--listen", "somewhere"});
        EXPECT_EQ(run.status, kExitUsage) << run.err;
        EXPECT_EQ(run.err, "vivazuzoz " + command + ": --listen takes ADDRESS:PORT with an IP address, e.g. " +
                               example + ", not 'somewhere'\nTry 'vivazuzoz " + command + " --help'.\n");
        run = RunCaptured({command, "--listen", "127.0.0.1:0", "--token", ""});
        EXPECT_EQ(run.status, kExitUsage) << run.err;
        EXPECT_TRUE(Contains(run.err, "vivazuzoz " + command + ": --token must not be empty")) << run.err;
        EXPECT_EQ(run.out, "");
    }
}

TEST(SharedOptions, NumbersOfEveryCommandAreCheckedByOneRuleAndNamedInTheMessage)
{
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"serve", "--max-clients", "0"}, "vivazuzoz serve: --max-clients takes a whole number from 1 to 256, not '0'"},
        {{"serve", "--max-connections", "many"}, "--max-connections takes a whole number from 1 to 4096, not 'many'"},
        {{"serve", "--max-per-client", "4097"}, "--max-per-client takes a whole number from 1 to 4096, not '4097'"},
        {{"record", "-o", "x.tiff", "-d", "-1"}, "vivazuzoz record: --device takes a whole number from 0 up, not '-1'"},
        {{"record", "-o", "x.tiff", "-n", "0"}, "vivazuzoz record: --frames takes a whole number from 1 up, not '0'"},
        {{"snapshot", "x.png", "--from", "y.tiff", "--frame", "-3"}, "--frame takes a whole number from 0 up"},
        {{"shutter", "-d", "x"}, "vivazuzoz shutter: --device takes a whole number from 0 up, not 'x'"},
    };
    for (const auto& [args, message] : cases) {
        const ToolRun run = RunCaptured(args);
        EXPECT_EQ(run.status, kExitUsage) << run.err;
        EXPECT_TRUE(Contains(run.err, message)) << "expected '" << message << "' in: " << run.err;
    }
}

TEST(StreamingRun, EndsAtItsLimitOnCtrlCAndWhenTheCameraIsGoneInThatOrder)
{
    vivaclient::CameraSession camera{vivaclient::SessionOptions{}};
    EXPECT_EQ(CheckRunEnd(camera, true, false), RunEnd::Going);
    EXPECT_EQ(CheckRunEnd(camera, true, true), RunEnd::Done);
    {
        vivaclient::InterruptGuard guard;
        std::raise(SIGINT);
        ASSERT_TRUE(vivaclient::Interrupted());
        EXPECT_EQ(CheckRunEnd(camera, true, false), RunEnd::Interrupted);
        EXPECT_EQ(CheckRunEnd(camera, false, false), RunEnd::Done) << "Ctrl-C is how a run without limits ends";
        EXPECT_EQ(CheckRunEnd(camera, true, true), RunEnd::Done) << "a limit reached counts first";
    }

    FILE* out = std::tmpfile();
    FILE* err = std::tmpfile();
    Context ctx{out, err, false, nullptr};
    EXPECT_EQ(EndStatus(ctx, RunEnd::Done, camera, "stream"), kExitOk);
    EXPECT_EQ(EndStatus(ctx, RunEnd::Interrupted, camera, "stream"), kExitInterrupted);
    EXPECT_EQ(DrainTemporaryFile(out), "");
    EXPECT_EQ(DrainTemporaryFile(err), "") << "an end that is no failure is not said";
}
