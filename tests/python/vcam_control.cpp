// vcam_control - the virtual camera's test API for the Python tests. The
// emulator is preloaded into the test interpreter by the vivazuzoz-vcam
// wrapper; this module links the same library, so it drives those cameras.
#include <vcam/VirtualCamera.h>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>

namespace py = pybind11;

namespace {

vcam::Camera& At(int i)
{
    const std::vector<vcam::Camera*> all = vcam::Cameras();
    if (i < 0 || static_cast<size_t>(i) >= all.size())
        throw py::index_error("no virtual camera " + std::to_string(i));
    return *all[static_cast<size_t>(i)];
}

// A native thread that creates relative files and notes every working
// directory it sees, without the interpreter lock, so that even a change of
// the process's working directory lasting microseconds is seen.
struct DirectoryWatch {
    std::atomic<bool> stop{false};
    std::set<std::string> seen;  // the watching thread's until joined
    int written = 0;             // the same
    cpu_set_t callerCpus;        // the caller's, given back when the watch stops
    std::thread thread;

    void Run()
    {
        char path[PATH_MAX];
        for (unsigned turn = 0; !stop.load(); ++turn) {
            if (getcwd(path, sizeof path))
                seen.insert(path);
            if (turn % 64 != 0)
                continue;
            const std::string name = "native-probe-" + std::to_string(written) + ".txt";
            if (FILE* f = std::fopen(name.c_str(), "w")) {
                std::fclose(f);
                ++written;
            }
        }
    }
};

DirectoryWatch* g_watch = nullptr;  // test thread only

}  // namespace

PYBIND11_MODULE(vcam_control, m)
{
    m.def(
        "add_camera",
        [](int width, int height, bool withTemp, double fps, const std::string& name, int shutterMs, bool flatShutter) {
            vcam::CameraSetup setup;
            setup.width = width;
            setup.height = height;
            setup.withTemp = withTemp;
            setup.fps = fps;
            setup.name = name;
            setup.shutterMs = shutterMs;
            setup.shutterLook = flatShutter ? vcam::ShutterLook::Flat : vcam::ShutterLook::Freeze;
            vcam::AddCamera(setup);
            return static_cast<int>(vcam::Cameras().size()) - 1;
        },
        py::arg("width") = 256, py::arg("height") = 192, py::arg("with_temp") = true, py::arg("fps") = 25.0,
        py::arg("name") = "Virtual Thermal Camera", py::arg("shutter_ms") = 0, py::arg("flat_shutter") = false,
        py::call_guard<py::gil_scoped_release>());
    m.def("remove_all", &vcam::RemoveAll, py::call_guard<py::gil_scoped_release>());
    m.def("unplug", [](int i) { At(i).Unplug(); });
    m.def("replug", [](int i) { At(i).Replug(); });
    m.def("stall", [](int i, double seconds) { At(i).Stall(seconds); });
    m.def(
        "set_port_fault",
        [](int i, const std::string& name, int ms) {
            vcam::PortFault fault;
            if (!vcam::ParsePortFault(name, &fault))
                throw py::value_error("unknown port fault " + name);
            At(i).SetPortFault(fault, ms);
        },
        py::arg("i"), py::arg("name"), py::arg("ms") = 0);
    m.def("video_path", [](int i) { return At(i).videoPath(); });
    m.def("serial_path", [](int i) { return At(i).serialPath(); });
    m.def("inject_port_bytes", [](int i, const py::bytes& data) {
        const std::string text = data;
        At(i).InjectPortBytes(std::vector<uint8_t>(text.begin(), text.end()));
    });
    m.def("request_count", [](int i) { return At(i).requests().size(); });
    m.def("video_open", [](int i) { return At(i).videoOpen(); });
    m.def("is_static", [](int i, int x, int y) { return At(i).IsStatic(x, y); });
    m.def("scene_tenths", [](int i, int x, int y) { return At(i).SceneTenths(x, y); });
    m.def("hotspot", [](int i) { return py::make_tuple(At(i).HotspotX(), At(i).HotspotY()); });
    m.def("start_directory_watch", [] {
        if (g_watch)
            throw std::logic_error("a directory watch runs already");
        g_watch = new DirectoryWatch;
        // The watch and the caller on different cores where there are two:
        // the watch then runs while the caller changes anything.
        cpu_set_t mine, other;
        CPU_ZERO(&mine);
        CPU_ZERO(&other);
        const int here = sched_getcpu();
        CPU_SET(here, &mine);
        sched_getaffinity(0, sizeof g_watch->callerCpus, &g_watch->callerCpus);
        for (int cpu = 0; cpu < CPU_SETSIZE && CPU_COUNT(&other) == 0; ++cpu)
            if (cpu != here && CPU_ISSET(cpu, &g_watch->callerCpus))
                CPU_SET(cpu, &other);
        g_watch->thread = std::thread([] { g_watch->Run(); });
        if (CPU_COUNT(&other) == 1) {
            pthread_setaffinity_np(g_watch->thread.native_handle(), sizeof other, &other);
            pthread_setaffinity_np(pthread_self(), sizeof mine, &mine);
        }
    });
    m.def(
        "stop_directory_watch",
        [] {
            if (!g_watch)
                throw std::logic_error("no directory watch runs");
            g_watch->stop.store(true);
            g_watch->thread.join();
            pthread_setaffinity_np(pthread_self(), sizeof g_watch->callerCpus, &g_watch->callerCpus);
            const auto result = py::make_tuple(g_watch->written,
                                               std::vector<std::string>(g_watch->seen.begin(), g_watch->seen.end()));
            delete g_watch;
            g_watch = nullptr;
            return result;
        },
        "(files written, the working directories seen) of the watch that ran");
    m.def("model", [](int i) {
        const vcam::Model md = At(i).model();
        py::dict d;
        d["palette"] = md.palette;
        d["temp_level_code"] = md.tempLevelCode;
        d["temp_unit"] = md.tempUnit;
        d["image_level"] = md.imageLevel;
        d["env"] = std::vector<int32_t>(md.env, md.env + 5);
        d["tuning"] = std::vector<int>(md.tuning, md.tuning + 6);
        d["fpa_temp"] = md.fpaTemp;
        d["camera_temp"] = md.cameraTemp;
        d["shutter_count"] = md.shutterCount;
        d["cap_byte7"] = md.capByte7;
        return d;
    });
}
