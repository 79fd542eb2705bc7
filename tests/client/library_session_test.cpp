// LibrarySession on the virtual camera: one counted use of the library per
// process, started in the state folder, ended by the last session to go.
#include <vivaclient/camera.h>
#include <vivaclient/settings.h>

#include "../support/scratch_dir.h"

#include <vcam/VirtualCamera.h>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

using namespace vivaclient;

namespace {

bool Exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::string WorkingDirectory()
{
    char path[4096];
    return getcwd(path, sizeof path) ? path : "";
}

// A command answered by the camera: the library is up and the camera open.
int ReadPalette(Camera& camera)
{
    SettingValue value;
    return camera.Command([&](unsigned long h) { return ReadSetting(h, *FindSetting("palette"), value).result; });
}

TEST(LibrarySession, SessionsShareOneLibraryThatTheLastOneEnds)
{
    ScratchDir scratch;
    const std::string state = scratch.path() + "/state";
    setenv("XDG_STATE_HOME", state.c_str(), 1);
    vcam::AddCamera();
    const std::string before = WorkingDirectory();
    ASSERT_EQ(0, LibrarySession::Users());

    auto outer = std::make_unique<LibrarySession>();
    EXPECT_EQ(1, LibrarySession::Users());
    // The log lands in the state folder; the process stays where it was.
    EXPECT_TRUE(Exists(state + "/vivazuzoz/VIVAZUZOZ.log"));
    EXPECT_FALSE(Exists("VIVAZUZOZ.log"));
    EXPECT_EQ(before, WorkingDirectory());

    std::unique_ptr<Camera> camera;
    {
        LibrarySession inner;
        EXPECT_EQ(2, LibrarySession::Users());
        OpenFailure failure;
        camera = Camera::Open(CameraChoice{}, failure);
        ASSERT_TRUE(camera) << failure.message;
        EXPECT_EQ(OZL_USB_SUCCESS, ReadPalette(*camera));
    }
    // The inner session's end left the library to the outer one.
    EXPECT_EQ(1, LibrarySession::Users());
    EXPECT_EQ(OZL_USB_SUCCESS, ReadPalette(*camera));

    // Sessions made and dropped on many threads at once leave the count,
    // and the library, as they found them.
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&go] {
            while (!go.load())
                std::this_thread::yield();
            for (int i = 0; i < 50; ++i)
                LibrarySession passing;
        });
    go.store(true);
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(1, LibrarySession::Users());
    EXPECT_EQ(OZL_USB_SUCCESS, ReadPalette(*camera));

    camera.reset();
    outer.reset();
    EXPECT_EQ(0, LibrarySession::Users());

    // A later session starts the library again.
    LibrarySession again;
    OpenFailure failure;
    camera = Camera::Open(CameraChoice{}, failure);
    ASSERT_TRUE(camera) << failure.message;
    EXPECT_EQ(OZL_USB_SUCCESS, ReadPalette(*camera));
    camera.reset();
    vcam::RemoveAll();
}

}  // namespace
