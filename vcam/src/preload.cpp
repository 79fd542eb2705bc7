// Preload - when the library is loaded into a process whose environment holds
// a configuration (set by the vivazuzoz-vcam wrapper), the cameras exist
// before main() runs; at exit every camera's threads are stopped.
#include "config.h"
#include "emulator.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {

pid_t g_creator = 0;  // the process whose cameras these are (a forked child has none of their threads)

__attribute__((constructor)) void StartConfiguredCameras()
{
    g_creator = getpid();
    const char* text = std::getenv(vcam::detail::kConfigVariable);
    if (!text || !*text)
        return;
    vcam::detail::Config config;
    std::string error;
    if (!vcam::detail::DecodeConfig(text, &config, &error)) {
        std::fprintf(stderr, "vivazuzoz-vcam: %s\n", error.c_str());
        return;
    }
    for (int i = 0; i < config.cameras; ++i) {
        vcam::Camera& cam = vcam::AddCamera(config.setup);
        if (!config.verbose)
            continue;
        std::fprintf(stderr, "vivazuzoz-vcam: camera %d: usb %d-%d video %s metadata %s serial %s\n", i, cam.busnum(),
                     cam.devnum(), cam.videoPath().c_str(),
                     cam.metadataPath().empty() ? "-" : cam.metadataPath().c_str(),
                     cam.serialPath().empty() ? "-" : cam.serialPath().c_str());
    }
}

__attribute__((destructor)) void StopCameras()
{
    if (getpid() == g_creator)
        vcam::RemoveAll();
}

}  // namespace
