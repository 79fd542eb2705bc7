// scene_probe - prints what a virtual camera of a given size shows at its
// hottest static object: "X Y TENTHS". The scene depends on the frame size
// only, so the browser test learns from it what the served camera shows,
// independently of the server under test.
#include <vcam/VirtualCamera.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    vcam::CameraSetup setup;
    if (argc == 3) {
        setup.width = std::atoi(argv[1]);
        setup.height = std::atoi(argv[2]);
    }
    vcam::Camera& camera = vcam::AddCamera(setup);
    const int x = camera.HotspotX(), y = camera.HotspotY();
    if (!camera.IsStatic(x, y)) {
        std::fprintf(stderr, "scene_probe: the hotspot is not static\n");
        return 1;
    }
    std::printf("%d %d %d\n", x, y, camera.SceneTenths(x, y));
    vcam::RemoveAll();
    return 0;
}
