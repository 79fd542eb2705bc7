// vivazuzoz-vcam - runs a command with virtual thermal cameras attached.
//
// The wrapper encodes the options into the environment, puts
// libvivazuzoz-vcam.so in LD_PRELOAD and executes the command. The preloaded
// library creates the cameras before the command's main() runs, so any
// program that discovers cameras through libudev/libuvc and drives them
// through V4L2 and a tty sees them, without being changed or rebuilt.
#include <vivaclient/recording.h>
#include "config.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char kUsage[] =
    "Usage: vivazuzoz-vcam [OPTIONS] -- COMMAND [ARGS...]\n"
    "\n"
    "Runs COMMAND with virtual USB thermal cameras attached. Every camera is a\n"
    "USB device with a V4L2 capture node (Y16 frames), a metadata node and a\n"
    "command port (a pseudo-terminal) that answers the camera's commands. The\n"
    "cameras exist only inside COMMAND's process (and each process COMMAND\n"
    "starts) and vanish when it exits; with --state their settings persist.\n"
    "The nodes are /dev/vivazuzoz-vcam/videoN, also reachable as /dev/videoN, so\n"
    "standard V4L2 programs (v4l2-ctl, ffmpeg, GStreamer, OpenCV) work on them.\n"
    "\n"
    "Options:\n"
    "  --cameras N          number of cameras (default 1)\n"
    "  --size WxH           detector size: 256x192, 384x288, 640x512 or 1280x1024\n"
    "                       (default 256x192)\n"
    "  --mode image|temp    image only, or image and temperature (default temp)\n"
    "  --fps F              frame rate (default 25)\n"
    "  --name TEXT          USB product string (default \"Virtual Thermal Camera\")\n"
    "  --no-name            the device reports no product string\n"
    "  --buffers N          REQBUFS grants N buffers whatever is asked\n"
    "  --port-fault NAME[:MS]\n"
    "                       the command port misbehaves: none, silence, delay,\n"
    "                       wrong-echo, wrong-status, no-ack, split, garbage,\n"
    "                       late, cr (MS: delay or split gap in milliseconds)\n"
    "  --querycap-errno E   VIDIOC_QUERYCAP fails with errno E\n"
    "  --sfmt-errno E       VIDIOC_S_FMT fails with errno E\n"
    "  --interval-zero      the frame interval reports numerator 0\n"
    "  --unplug-after S     each camera unplugs itself S seconds after start\n"
    "  --replug-after S     a camera that unplugged plugs itself back in S seconds\n"
    "                       later, with a new address and new video nodes\n"
    "  --unplug-every S     each camera unplugs itself every S seconds, counted from\n"
    "                       the wrapper's start, so that every process run under\n"
    "                       it loses its camera at the same moments (needs\n"
    "                       --replug-after, shorter than S)\n"
    "  --replay FILE.tiff   serve a recording made by 'vivazuzoz record' instead of\n"
    "                       the synthetic scene, at its size, layout and camera\n"
    "                       frame rate, each recorded frame held until the next is\n"
    "                       due (a time-lapse replays in real time); the library's\n"
    "                       temperatures equal the recorded ones\n"
    "  --loop               with --replay: start again after the last frame\n"
    "                       (else the camera sends no more frames)\n"
    "  --speed F            with --replay: play the recording F times as fast\n"
    "                       (the camera's frame rate stays the recorded one)\n"
    "  --no-metadata        no metadata node beside the capture node\n"
    "  --state FILE         keep the cameras' settings (palette, levels, unit,\n"
    "                       environment, image tuning) in FILE: loaded at start and\n"
    "                       before every command answered, saved on every change,\n"
    "                       so every process run with the same FILE sees one camera\n"
    "  --hot-object on|off  the scene's hot plate (110 C) is on (default) or off\n"
    "  --hot-object-period S\n"
    "                       switch the hot plate on for S seconds, off for S, ...\n"
    "  --drift D            the detector drifts: between shutter corrections the\n"
    "                       FPA cools and every reading rises D degrees a minute,\n"
    "                       plus a fixed pattern that grows with the time since\n"
    "                       the last correction; a correction resets both\n"
    "  --fpa-warmup         the FPA warms up from 20 C towards 33 C after power-on\n"
    "                       (time constant 4 minutes); readings fall by its rise\n"
    "                       since the last correction\n"
    "  --auto-shutter S     the camera corrects on its own every S seconds and\n"
    "                       tells the host nothing\n"
    "  --shutter-time MS    a correction lasts MS milliseconds (default 500 with\n"
    "                       any of these options, else instant and unseen); the\n"
    "                       shutter command answers when it is over\n"
    "  --shutter-look freeze|flat\n"
    "                       during a correction the frames repeat the last picture\n"
    "                       (default) or show the shutter's flat field\n"
    "  --shutter-temp C     the flat field's temperature (default 15)\n"
    "  --time-scale N       drift, warm-up and --auto-shutter run N times as fast\n"
    "                       (a correction's duration stays real time)\n"
    "  --verbose            print each camera's nodes to standard error\n"
    "  -h, --help           show this help and exit\n"
    "\n"
    "Examples:\n"
    "  vivazuzoz-vcam -- vivazuzoz snapshot -o thermal.png\n"
    "  vivazuzoz-vcam --cameras 2 --size 640x512 -- vivazuzoz list\n"
    "  vivazuzoz-vcam --unplug-after 2 -- vivazuzoz stream --seconds 5\n"
    "  vivazuzoz-vcam --unplug-after 2 --replug-after 1 -- ./my-app\n"
    "  vivazuzoz-vcam --unplug-every 20 --replug-after 3 -- sh -c 'app1 & app2; wait'\n"
    "  vivazuzoz-vcam --state cam.json -- sh -c 'vivazuzoz set palette 3; vivazuzoz get palette'\n"
    "  vivazuzoz-vcam --hot-object-period 3 -- vivazuzoz stream --alarm-above 80\n"
    "  vivazuzoz-vcam --replay run.tiff -- vivazuzoz snapshot -o again.png\n"
    "  vivazuzoz-vcam --replay lapse.tiff --speed 10 -- vivazuzoz stream --seconds 5\n"
    "  vivazuzoz-vcam --drift 0.5 --auto-shutter 60 --time-scale 30 -- vivazuzoz stream --json\n"
    "  vivazuzoz-vcam -- v4l2-compliance -d /dev/video0 -s\n";

int Fail(const std::string& message)
{
    std::fprintf(stderr, "vivazuzoz-vcam: %s\nTry 'vivazuzoz-vcam --help'.\n", message.c_str());
    return 2;
}

bool ToInt(const char* text, int* out)
{
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (errno || end == text || *end || v < INT_MIN || v > INT_MAX)
        return false;
    *out = static_cast<int>(v);
    return true;
}

bool ToDouble(const char* text, double* out)
{
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text, &end);
    if (errno || end == text || *end)
        return false;
    *out = v;
    return true;
}

// `path` made absolute against the current directory, so that a command that
// changes directory still finds the same file.
std::string Absolute(const std::string& path)
{
    if (path.empty() || path[0] == '/')
        return path;
    char buf[PATH_MAX];
    if (!getcwd(buf, sizeof buf))
        return path;
    return std::string(buf) + "/" + path;
}

// The directory of this executable, from /proc/self/exe.
std::string SelfDir()
{
    char buf[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return ".";
    buf[n] = '\0';
    std::string path(buf);
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

bool Exists(const std::string& path)
{
    return access(path.c_str(), R_OK) == 0;
}

// The emulator library: beside the executable's lib/ in a build tree, in the
// installed private folder relative to the executable (an install moved or
// unpacked elsewhere), else the configured install folder.
std::string FindLibrary()
{
    const char* name = "libvivazuzoz-vcam.so";
    const std::string dir = SelfDir();
    for (const std::string& candidate :
         {dir + "/../lib/" + name, dir + "/" + name, dir + "/" + VCAM_LIBDIR_FROM_BINDIR + "/" + name,
          std::string(VCAM_INSTALL_LIBDIR) + "/" + name})
        if (Exists(candidate))
            return candidate;
    return "";
}

#ifdef VCAM_SANITIZED
// A sanitized build: the sanitizer's runtime (AddressSanitizer's or
// ThreadSanitizer's) must come first in LD_PRELOAD, ahead of the emulator.
std::string SanitizerRuntime()
{
    void* handle = dlopen(nullptr, RTLD_NOW);
    for (const char* init : {"__asan_init", "__tsan_init"}) {
        Dl_info info{};
        void* sym = handle ? dlsym(handle, init) : nullptr;
        if (sym && dladdr(sym, &info) && info.dli_fname)
            return info.dli_fname;
    }
    return "";
}
#endif

}  // namespace

// Checks the recording before the command runs, so a bad file is told once,
// plainly, with a failing exit status; fills in its size, layout and rate and
// makes the path absolute (the command may change directory). Returns the
// exit status of a failure, or -1.
int PrepareReplay(vcam::CameraSetup& setup, bool sizeGiven, bool modeGiven, bool fpsGiven)
{
    if (fpsGiven)
        return Fail("--fps cannot be combined with --replay: the recording sets the rate");
    vivaclient::RecordingReader reader;
    const std::string error = reader.Open(setup.replayFile);
    if (!error.empty()) {
        std::fprintf(stderr, "vivazuzoz-vcam: %s\n", error.c_str());
        return 1;
    }
    const vivaclient::RecordingLayout& layout = reader.layout();
    if (sizeGiven && (setup.width != layout.width || setup.height != layout.height)) {
        std::fprintf(stderr, "vivazuzoz-vcam: %s holds %dx%d frames, not the %dx%d asked with --size\n",
                     setup.replayFile.c_str(), layout.width, layout.height, setup.width, setup.height);
        return 1;
    }
    if (modeGiven && setup.withTemp != layout.withTemp) {
        std::fprintf(stderr, "vivazuzoz-vcam: %s is a recording of %s, not of the mode asked with --mode\n",
                     setup.replayFile.c_str(), layout.withTemp ? "image and temperature" : "images only");
        return 1;
    }
    if (char* absolute = realpath(setup.replayFile.c_str(), nullptr)) {
        setup.replayFile = absolute;
        std::free(absolute);
    }
    return -1;
}

// The options given, as the wrapper reads them.
struct Options {
    vcam::detail::Config config;
    bool sizeGiven = false, modeGiven = false, fpsGiven = false, speedGiven = false, shutterGiven = false;
};

// The command line, read one option at a time.
struct Args {
    int argc;
    char** argv;
    int i;
    // The option's value (the next argument), if there is one.
    bool Next(const char** out)
    {
        if (i + 1 >= argc)
            return false;
        *out = argv[++i];
        return true;
    }
};

// What an option parser returns when the option is not one of its own, and
// when it took it; any other value is the exit status of a usage error.
constexpr int kNotMine = -2;
constexpr int kTaken = -1;

// The cameras and their stream.
int ParseCameraOption(const std::string& arg, Args& args, Options& o)
{
    const char* v = nullptr;
    if (arg == "--verbose") {
        o.config.verbose = true;
    } else if (arg == "--no-name") {
        o.config.setup.hasName = false;
    } else if (arg == "--no-metadata") {
        o.config.setup.metadataNode = false;
    } else if (arg == "--interval-zero") {
        o.config.setup.intervalNumeratorZero = true;
    } else if (arg == "--cameras") {
        if (!args.Next(&v) || !ToInt(v, &o.config.cameras) || o.config.cameras < 0 || o.config.cameras > 16)
            return Fail("--cameras needs a number from 0 to 16");
    } else if (arg == "--size") {
        o.sizeGiven = true;
        if (!args.Next(&v) || !vcam::detail::ParseSize(v, &o.config.setup.width, &o.config.setup.height))
            return Fail("--size needs WxH, for example 256x192");
        const int w = o.config.setup.width, h = o.config.setup.height;
        if (!((w == 256 && h == 192) || (w == 384 && h == 288) || (w == 640 && h == 512) || (w == 1280 && h == 1024)))
            return Fail("--size must be 256x192, 384x288, 640x512 or 1280x1024");
    } else if (arg == "--mode") {
        o.modeGiven = true;
        if (!args.Next(&v) || (std::strcmp(v, "image") && std::strcmp(v, "temp")))
            return Fail("--mode needs image or temp");
        o.config.setup.withTemp = std::strcmp(v, "temp") == 0;
    } else if (arg == "--fps") {
        o.fpsGiven = true;
        if (!args.Next(&v) || !ToDouble(v, &o.config.setup.fps) ||
            !(o.config.setup.fps > 0 && o.config.setup.fps <= 1000))
            return Fail("--fps needs a rate above 0 and at most 1000");
    } else if (arg == "--name") {
        if (!args.Next(&v))
            return Fail("--name needs a text");
        o.config.setup.name = v;
        o.config.setup.hasName = true;
    } else if (arg == "--buffers") {
        int n = 0;
        if (!args.Next(&v) || !ToInt(v, &n) || n < 1 || n > 32)
            return Fail("--buffers needs a number from 1 to 32");
        o.config.setup.buffersGranted = static_cast<unsigned>(n);
    } else {
        return kNotMine;
    }
    return kTaken;
}

// Faults, state and the plug schedule.
int ParseFaultOption(const std::string& arg, Args& args, Options& o)
{
    const char* v = nullptr;
    if (arg == "--port-fault") {
        if (!args.Next(&v) || !vcam::detail::ParseFault(v, &o.config.setup.portFault, &o.config.setup.portFaultMs))
            return Fail("--port-fault needs NAME[:MS]; see --help for the names");
    } else if (arg == "--querycap-errno") {
        if (!args.Next(&v) || !ToInt(v, &o.config.setup.querycapErrno) || o.config.setup.querycapErrno < 0)
            return Fail("--querycap-errno needs an errno number");
    } else if (arg == "--sfmt-errno") {
        if (!args.Next(&v) || !ToInt(v, &o.config.setup.sfmtErrno) || o.config.setup.sfmtErrno < 0)
            return Fail("--sfmt-errno needs an errno number");
    } else if (arg == "--state") {
        if (!args.Next(&v) || !*v)
            return Fail("--state needs a file name");
        o.config.setup.stateFile = Absolute(v);
    } else if (arg == "--hot-object") {
        if (!args.Next(&v) || (std::strcmp(v, "on") && std::strcmp(v, "off")))
            return Fail("--hot-object needs on or off");
        o.config.setup.hotObject = std::strcmp(v, "on") == 0;
    } else if (arg == "--hot-object-period") {
        if (!args.Next(&v) || !ToDouble(v, &o.config.setup.hotObjectPeriod) || !(o.config.setup.hotObjectPeriod > 0))
            return Fail("--hot-object-period needs a number of seconds above 0");
    } else if (arg == "--unplug-after") {
        if (!args.Next(&v) || !ToDouble(v, &o.config.setup.unplugAfter) || !(o.config.setup.unplugAfter > 0))
            return Fail("--unplug-after needs a number of seconds above 0");
    } else if (arg == "--replug-after") {
        if (!args.Next(&v) || !ToDouble(v, &o.config.setup.replugAfter) || !(o.config.setup.replugAfter > 0))
            return Fail("--replug-after needs a number of seconds above 0");
    } else if (arg == "--time-scale") {
        if (!args.Next(&v) || !ToDouble(v, &o.config.setup.timeScale) ||
            !(o.config.setup.timeScale > 0 && o.config.setup.timeScale <= 10000))
            return Fail("--time-scale needs a factor above 0 and at most 10000");
    } else if (arg == "--unplug-every") {
        if (!args.Next(&v) || !ToDouble(v, &o.config.setup.unplugEvery) || !(o.config.setup.unplugEvery > 0))
            return Fail("--unplug-every needs a number of seconds above 0");
    } else {
        return kNotMine;
    }
    return kTaken;
}

// The detector's drift and shutter corrections.
int ParseShutterOption(const std::string& arg, Args& args, Options& o)
{
    const char* v = nullptr;
    if (arg == "--drift") {
        o.shutterGiven = true;
        if (!args.Next(&v) || !ToDouble(v, &o.config.setup.driftPerMinute) ||
            !(o.config.setup.driftPerMinute >= 0 && o.config.setup.driftPerMinute <= 100))
            return Fail("--drift needs degrees per minute from 0 to 100");
    } else if (arg == "--fpa-warmup") {
        o.shutterGiven = true;
        o.config.setup.fpaWarmup = true;
    } else if (arg == "--auto-shutter") {
        o.shutterGiven = true;
        if (!args.Next(&v) || !ToDouble(v, &o.config.setup.autoShutter) || !(o.config.setup.autoShutter > 0))
            return Fail("--auto-shutter needs a number of seconds above 0");
    } else if (arg == "--shutter-time") {
        o.shutterGiven = true;
        if (!args.Next(&v) || !ToInt(v, &o.config.setup.shutterMs) || o.config.setup.shutterMs < 1 ||
            o.config.setup.shutterMs > 10000)
            return Fail("--shutter-time needs milliseconds from 1 to 10000");
    } else if (arg == "--shutter-look") {
        o.shutterGiven = true;
        if (!args.Next(&v) || !vcam::detail::ParseShutterLook(v, &o.config.setup.shutterLook))
            return Fail("--shutter-look needs freeze or flat");
    } else if (arg == "--shutter-temp") {
        o.shutterGiven = true;
        if (!args.Next(&v) || !ToDouble(v, &o.config.setup.shutterTemp) || std::fabs(o.config.setup.shutterTemp) > 1000)
            return Fail("--shutter-temp needs degrees from -1000 to 1000");
    } else {
        return kNotMine;
    }
    return kTaken;
}

// A recording served instead of the scene.
int ParseReplayOption(const std::string& arg, Args& args, Options& o)
{
    const char* v = nullptr;
    if (arg == "--replay") {
        if (!args.Next(&v) || !*v)
            return Fail("--replay needs a recording (FILE.tiff)");
        o.config.setup.replayFile = v;
    } else if (arg == "--loop") {
        o.config.setup.replayLoop = true;
    } else if (arg == "--speed") {
        o.speedGiven = true;
        if (!args.Next(&v) || !ToDouble(v, &o.config.setup.replaySpeed) ||
            !(o.config.setup.replaySpeed > 0 && o.config.setup.replaySpeed <= 10000))
            return Fail("--speed needs a factor above 0 and at most 10000");
    } else {
        return kNotMine;
    }
    return kTaken;
}

// Options that only make sense together: -1 when they fit, else the exit status.
int CheckCombinations(Options& o)
{
    vcam::CameraSetup& setup = o.config.setup;
    if (o.shutterGiven && setup.shutterMs == 0)
        setup.shutterMs = 500;
    if (setup.unplugEvery > 0) {
        if (!(setup.replugAfter > 0 && setup.replugAfter < setup.unplugEvery))
            return Fail("--unplug-every needs --replug-after, shorter than the period");
        setup.scheduleOrigin =
            std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    }
    if (setup.replayLoop && setup.replayFile.empty())
        return Fail("--loop needs --replay");
    if (o.speedGiven && setup.replayFile.empty())
        return Fail("--speed needs --replay");
    if (!setup.replayFile.empty()) {
        if (const int status = PrepareReplay(setup, o.sizeGiven, o.modeGiven, o.fpsGiven); status >= 0)
            return status;
    }
    return -1;
}

// Runs the command with the virtual camera preloaded and configured; returns
// only when it cannot.
int RunPreloaded(const vcam::detail::Config& config, char** command)
{
    const std::string library = FindLibrary();
    if (library.empty())
        return Fail("cannot find libvivazuzoz-vcam.so next to " + SelfDir());
    std::string preload = library;
#ifdef VCAM_SANITIZED
    const std::string runtime = SanitizerRuntime();
    if (!runtime.empty())
        preload = runtime + ":" + preload;
#endif
    if (const char* old = std::getenv("LD_PRELOAD"); old && *old)
        preload += std::string(":") + old;
    setenv("LD_PRELOAD", preload.c_str(), 1);
    setenv(vcam::detail::kConfigVariable, vcam::detail::EncodeConfig(config).c_str(), 1);

    execvp(command[0], command);
    std::fprintf(stderr, "vivazuzoz-vcam: cannot run %s: %s\n", command[0], std::strerror(errno));
    return 127;
}

int main(int argc, char** argv)
{
    Options o;
    Args args{argc, argv, 1};
    for (; args.i < argc; ++args.i) {
        const std::string arg = argv[args.i];
        if (arg == "--") {
            ++args.i;
            break;
        }
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        int status = kNotMine;
        for (auto parse : {ParseCameraOption, ParseFaultOption, ParseShutterOption, ParseReplayOption}) {
            status = parse(arg, args, o);
            if (status != kNotMine)
                break;
        }
        if (status == kNotMine)
            return Fail("unknown option " + arg);
        if (status != kTaken)
            return status;
    }
    if (args.i >= argc)
        return Fail("no command given after --");
    if (const int status = CheckCombinations(o); status >= 0)
        return status;
    return RunPreloaded(o.config, argv + args.i);
}
