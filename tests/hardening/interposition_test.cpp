// An application with an xioctl of its own, linked against the shared
// library as any application is: the library keeps calling its own
// definition, and the capture core's whole interface is exported.
#include "VIVAZUZOZ.h"

#include "../support/eventually.h"
#include "../support/public_api.h"
#include "../support/scratch_dir.h"

#include <vcam/VirtualCamera.h>

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <string>

namespace {

std::atomic<int> g_appXioctlCalls{0};

}  // namespace

// The application's own xioctl, with the library's name and signature. The
// capture core calls xioctl for every device request, so a call that reached
// this one would break the library's streaming.
extern "C" int xioctl(int, int, void*)
{
    ++g_appXioctlCalls;
    return -1;
}

namespace {

void Remember(OZL_USB_DEV_INFO*, void* user) { ++*static_cast<int*>(user); }

}  // namespace

TEST(Interposition, AnApplicationsXioctlDoesNotCaptureTheLibrarysCalls)
{
    // The setting is real: a lookup in the global scope finds the
    // application's definition, as a library bound the ordinary way would.
    EXPECT_EQ(reinterpret_cast<void*>(&xioctl), dlsym(RTLD_DEFAULT, "xioctl"));

    ScratchDir dir;
    vcam::AddCamera();
    OZL_USB_Init();
    int found = 0;
    ASSERT_EQ(OZL_USB_SUCCESS, OZL_USB_SearchDev(&Remember, &found));
    ASSERT_EQ(1, found);
    unsigned long h = 0;
    ASSERT_EQ(OZL_USB_SUCCESS, OZL_USB_OpenDev(0, &h)) << g_appXioctlCalls << " requests reached the application's xioctl";
    std::atomic<int> frames{0};
    ASSERT_EQ(OZL_USB_SUCCESS, OZL_USB_StartPreview(h, &CountFrame, &frames))
        << g_appXioctlCalls << " requests reached the application's xioctl";
    EXPECT_TRUE(Eventually([&] { return frames.load() >= 3; }));
    EXPECT_EQ(OZL_USB_SUCCESS, OZL_USB_CloseDev(h));
    OZL_USB_Deinit();
    vcam::RemoveAll();

    EXPECT_EQ(0, g_appXioctlCalls.load());
}

TEST(Interposition, TheCaptureCoresWholeInterfaceIsExportedAndNothingInternal)
{
    void* lib = dlopen("libVIVAZUZOZ.so.1", RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(nullptr, lib) << "the test links the shared library";
    for (const char* name :
         {"v4l2core_dev_open", "v4l2core_dev_getinfo", "v4l2vore_dev_getCurrentInfo", "enum_frame_sizes",
          "enum_frame_inval", "v4l2core_dev_init", "v4l2core_capture_start", "v4l2core_capture_getframe",
          "v4l2core_capture_loop", "v4l2core_capture_stop", "v4l2core_dev_uninit", "v4l2core_dev_clean", "xioctl",
          "check_sum"}) {
        void* own = dlsym(lib, name);
        EXPECT_NE(nullptr, own) << name;
        if (std::string(name) == "xioctl") {
            EXPECT_NE(dlsym(RTLD_DEFAULT, name), own) << name << ": the library's own, not the application's";
        }
    }
    for (const char* name : {"errno_show", "mmapInit", "frameRead", "mmapRelease", "is_video_capture_node"})
        EXPECT_EQ(nullptr, dlsym(lib, name)) << name << " is internal";
    // The library's own check_sum still sums.
    auto own = reinterpret_cast<unsigned (*)(const unsigned char*, int)>(dlsym(lib, "check_sum"));
    ASSERT_NE(nullptr, own);
    const unsigned char bytes[] = {0xAA, 0x04, 0x01, 0x42, 0x00};
    EXPECT_EQ(0xF1u, own(bytes, 5));
    dlclose(lib);
}
