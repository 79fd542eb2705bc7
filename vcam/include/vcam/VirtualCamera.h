// VirtualCamera.h - test and tool API of the virtual thermal camera.
//
// libvivazuzoz-vcam.so stands in for real hardware by symbol interposition:
// linked into a test executable ahead of the system libraries (or preloaded
// with LD_PRELOAD) it answers the libudev, libuvc and C library calls that
// discovery and capture make for its virtual devices, and passes everything
// else through to the real functions. File descriptors are real (an eventfd
// per open capture node, memfd-backed buffers, a pseudo-terminal per command
// port) so select, close and mmap behave as the kernel makes them behave.
//
// While at least one virtual camera exists, udev and libuvc see only the
// virtual devices; with none, every call goes to the real libraries.
//
// Everything here is thread-safe. Cameras live until RemoveAll() or process
// exit. Devices appear to discovery in the order they were added.
//
// Choices the camera makes (its "firmware"):
// - Capture node paths are /dev/vivazuzoz-vcam/videoN; command ports are
//   real pty slaves (/dev/pts/N). The V4L2 format of an image-and-temperature
//   stream is Y16 at (2 * width) x height: each row carries width image
//   samples and then width raw temperature samples.
// - Replies on the command port: 55 LEN [07] code 33 data... CK EB AA, with
//   LEN the byte count from byte 2 through the checksum (as in a request),
//   the group byte 07 present only in group 07 replies, CK the 8-bit sum of
//   every byte before it. Settings are acknowledged with the data byte 01,
//   refused (value out of range) with 00. A well-formed request with an
//   unknown code, a wrong op or a wrong data length gets status 0x45 and no
//   data; a frame with a bad head, length, checksum or tail is dropped.
// - Value ranges: palette 0..15, temperature level codes 0, 1, 3, unit 0..2,
//   emissivity and transmittance 1..10000 (x10000); everything else any value.
//   The formula query answers level byte 2 with the formula of code 3 (the
//   level as an application numbers it).
// - Unplug: the capture nodes vanish (open/stat ENOENT, every request and
//   dequeue ENODEV, select ready), the device leaves the udev and libuvc
//   lists, and the command port's responder goes silent; the pty itself
//   stays so that a client's descriptor keeps working.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#define VCAM_API __attribute__((visibility("default")))

namespace vcam {

// Port faults: how the command-port responder misbehaves.
enum class PortFault {
    None,
    Silence,         // never answers
    Delay,           // answers after `portFaultMs` milliseconds
    WrongEcho,       // echoes another command code (the code plus one)
    WrongStatus,     // status byte other than 0x33 (0x45)
    NoAck,           // settings acknowledged with 0x00 instead of 0x01
    Split,           // reply sent in two parts `portFaultMs` apart (first part: 3 bytes)
    Garbage,         // a few junk bytes before the reply, in the same write
    Late,            // answers after `portFaultMs` (meant to exceed the library's time-out)
    CarriageReturn,  // byte 1 of every reply is 0x0D (a tty with ICRNL delivers it as 0x0A)
};

// Parses "none", "silence", "delay", "wrong-echo", "wrong-status", "no-ack",
// "split", "garbage", "late", "cr"; false for an unknown name.
VCAM_API bool ParsePortFault(const std::string& name, PortFault* fault);
VCAM_API const char* PortFaultName(PortFault fault);

// What the frames show while the shutter is closed for a correction.
enum class ShutterLook {
    Freeze,  // the last picture, repeated
    Flat,    // a flat field at the shutter's temperature (CameraSetup::shutterTemp)
};

struct CameraSetup {
    std::string name = "Virtual Thermal Camera";  // USB product string
    bool hasName = true;                          // false: the device reports no product string
    int width = 256;                              // detector size: 256x192, 384x288, 640x512, 1280x1024
    int height = 192;
    bool withTemp = true;  // image-and-temperature layout (else image only)
    double fps = 25.0;
    int captureNodes = 1;                // V4L2 capture nodes on the device (0: none)
    bool metadataNode = true;            // a metadata node (device_caps without VIDEO_CAPTURE)
    int ttyNodes = 1;                    // command ports (each a pty; the first one answers)
    bool usbParent = true;               // false: nodes have no USB parent (skipped by discovery)
    bool uvcListed = true;               // false: not in libuvc's device list
    unsigned buffersGranted = 0;         // REQBUFS grants this many (0: the count asked for, at most 32)
    int querycapErrno = 0;               // QUERYCAP on the capture node fails with this errno
    int sfmtErrno = 0;                   // S_FMT fails with this errno
    bool intervalNumeratorZero = false;  // G_PARM answers timeperframe 0/fps
    PortFault portFault = PortFault::None;
    int portFaultMs = 0;
    int busnum = 0;  // USB location; 0: chosen by the emulator (stable per add order)
    int devnum = 0;
    double unplugAfter = 0;  // > 0: the camera unplugs itself this many seconds after creation
    double replugAfter = 0;  // > 0: once unplugged (by any means), it plugs itself back in this many seconds later
    // > 0: the camera unplugs itself every this many seconds, at
    // scheduleOrigin + k * unplugEvery (k = 1, 2, ...); with replugAfter
    // shorter than it, it comes back between. unplugAfter, if set, is the
    // first unplug instead.
    double unplugEvery = 0;
    // CLOCK_MONOTONIC seconds that unplugEvery counts from; 0: the camera's
    // creation. The wrapper sets its own start, so that the cameras of every
    // process under it unplug at the same moments.
    double scheduleOrigin = 0;
    bool hotObject = true;       // the scene's hot plate is on (see Camera::SetHotObject)
    double hotObjectPeriod = 0;  // > 0: the hot plate is on for this many seconds, then off as long, and so on
    std::string stateFile;       // "" or a file that holds the model's settings (see Camera::model)
    // A recording made by `vivazuzoz record` to serve instead of the
    // synthetic scene: it sets the size, layout, frame rate and recorded
    // settings, and the formula becomes scale 10, offset 0, so converted
    // temperatures equal the recorded ones. A file that cannot be read is
    // told on standard error and the camera sends no frames.
    std::string replayFile;
    bool replayLoop = false;   // start the recording again after its last frame (else no more frames)
    double replaySpeed = 1.0;  // the recording's time line runs this many times as fast
    // The detector's drift and the shutter correction (synthetic scene
    // only). All off by default: readings stay true, the FPA temperature
    // stays as the model holds it, and a correction is instant and unseen.
    // Between corrections the readings move by one degree per degree of FPA
    // change since the last one (up as the FPA cools, down as it warms),
    // plus a fixed pattern that grows with the time since it; a correction
    // resets both.
    double driftPerMinute = 0;  // the FPA cools so that readings rise this many degrees per minute
    bool fpaWarmup = false;     // the FPA warms up from 20 C towards 33 C (time constant 4 minutes)
    double autoShutter = 0;     // > 0: the camera corrects on its own every this many seconds, telling no one
    int shutterMs = 0;          // a correction's duration; the shutter command answers when it is over
    ShutterLook shutterLook = ShutterLook::Freeze;
    double shutterTemp = 15.0;  // the closed shutter's reading (degrees) for ShutterLook::Flat
    double timeScale = 1.0;     // drift, warm-up and the automatic correction's timer run this many times as fast
};

// One request frame the responder received (well-formed head, length and
// tail; the checksum may be wrong, such a frame is recorded but not answered).
struct Request {
    std::vector<uint8_t> bytes;
    double time;  // seconds on CLOCK_MONOTONIC
};

// The camera model's state, as the responder sees it.
struct Model {
    int palette = 0;
    int tempLevelCode = 0;  // the camera's own code: 0, 1 or 3
    int tempUnit = 0;
    int imageLevel = 0;
    int32_t env[5] = {250000, 10000, 9500, 250000,
                      10000};            // x10000: atmos, distance, emissivity, reflected, transmittance
    int tuning[6] = {0, 0, 0, 0, 0, 0};  // detail, spatial, contrast, brightness, time, dynamic range
    uint8_t capByte7 = 0x7E;             // capability report byte 7
    uint8_t capByte15 = 0x00;            // capability report byte 15
    // Formula per level code (index 0, 1, 3 used; 2 mirrors 3): raw = offset
    // + tenths * scale / 10. Code 0 spans -20..150 C, code 1 -20..550 C,
    // code 3 -20..1200 C, all within a signed 16-bit sample.
    uint16_t scale[4] = {80, 20, 10, 10};
    int16_t offset[4] = {-2000, 1000, -500, -500};
    int16_t fpaTemp = 3125;     // hundredths of a degree
    int16_t cameraTemp = 3650;  // 0x0E42: no byte that a tty with ICRNL would turn into 0x0A
    int shutterCount = 0;
};

class VCAM_API Camera {
public:
    // Location and nodes.
    int busnum() const;
    int devnum() const;
    std::string videoPath(int i = 0) const;   // i-th capture node ("" when none)
    std::string metadataPath() const;         // "" when none
    std::string serialPath(int i = 0) const;  // pty slave path of the i-th tty node
    CameraSetup setup() const;                // as created, with later run-time changes

    // Video faults at run time.
    void Unplug();  // every request and dequeue fails with ENODEV, select reports ready
    bool unplugged() const;
    // Plugs an unplugged camera back in, as a replug on a real bus does: the
    // device gets a new address and new capture (and metadata) nodes, and
    // appears to discovery again in its place; the command port answers
    // again on the same pty. Descriptors still open on the old nodes keep
    // answering ENODEV until closed. Nothing happens to a plugged camera.
    void Replug();
    void Stall(double seconds);                             // no frame for that long
    void SetShortFrames(unsigned bytes);                    // frames carry bytesused = bytes (0: full frames again)
    void ChangeSize(int width, int height, bool withTemp);  // later frames have the new size (cut to the buffer length)
    void SetQuerycapErrno(int err);
    void SetSfmtErrno(int err);
    void SetBuffersGranted(unsigned count);
    void SetIntervalNumeratorZero(bool on);

    // Port faults at run time.
    void SetPortFault(PortFault fault, int ms = 0);
    // Bytes the responder sends unasked (e.g. a stale reply) right now.
    void InjectPortBytes(const std::vector<uint8_t>& bytes);

    // Model. With a state file (CameraSetup::stateFile) the settings in it
    // (palette, level, unit, image level, environment, tuning) are the
    // model's: loaded when the camera is made and before each command it
    // answers, saved after every change, under a lock on the file, so that
    // every camera, in this process or another, made with the same file and
    // the same add order position sees the same settings.
    Model model() const;
    void SetModel(const Model& m);

    // The scene's hot object (the hot plate) at run time: off, its place
    // shows the wall and the hottest thing in view is the mug. A period set
    // in the setup switches it by itself, overriding this.
    void SetHotObject(bool on);
    bool hotObject() const;

    // Shutter corrections begun, commanded and automatic (CameraSetup::shutterMs > 0
    // makes them visible in the frames).
    uint64_t corrections() const;

    // Inspection.
    std::vector<Request> requests() const;
    void ClearRequests();
    uint64_t framesProduced() const;  // frames the producer completed
    uint64_t framesDropped() const;   // frame times at which no buffer was queued
    uint64_t framesDequeued() const;
    uint64_t dequeueRequests() const;  // VIDIOC_DQBUF calls, whether a frame was ready or not
    unsigned buffersMapped() const;    // buffers currently mmapped by a client
    bool streaming() const;
    bool videoOpen() const;  // a client holds the capture node open

    // Scene. Temperatures of the synthetic scene in tenths of a degree at
    // pixel (x, y) of the current frame size for pixels that the moving
    // object never covers; the raw samples are produced from these with the
    // formula of the current level, so that (raw - offset) / scale * 10 gives
    // them back exactly (for formulas whose scale is a multiple of 10, as
    // the default ones). For a moving-object pixel it is the background.
    bool IsStatic(int x, int y) const;
    int SceneTenths(int x, int y) const;
    // Centre of the hottest static object, in pixels.
    int HotspotX() const;
    int HotspotY() const;

    // Internal: cameras are made by AddCamera only.
    struct State;
    explicit Camera(State* state) : state_(state) {}
    Camera(const Camera&) = delete;
    Camera& operator=(const Camera&) = delete;

private:
    State* state_;  // owned by the emulator; never null
};

VCAM_API Camera& AddCamera(const CameraSetup& setup = CameraSetup());
VCAM_API std::vector<Camera*> Cameras();
// Removes every camera: its threads stop, its ptys close, and descriptors a
// client still holds on its capture nodes answer ENODEV until closed.
// Camera references taken earlier become invalid.
VCAM_API void RemoveAll();

}  // namespace vcam
