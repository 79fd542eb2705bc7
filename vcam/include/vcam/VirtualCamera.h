// VirtualCamera.h - test and tool API of the virtual thermal camera.
//
// libvivazuzoz-vcam.so stands in for real hardware by symbol interposition:
// linked into a test executable ahead of the system libraries (or preloaded
// with LD_PRELOAD) it answers the libudev, libuvc and C library calls that
// discovery and capture make for its virtual devices, and passes everything
// else through to the real functions. File descriptors are real (an eventfd
// per capture node, memfd-backed buffers, a pseudo-terminal per command port)
// so select, close and mmap behave as the kernel makes them behave.
//
// Everything here is thread-safe. Cameras live until RemoveAll() or process
// exit. Devices appear to discovery in the order they were added.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vcam {

// Port faults: how the command-port responder misbehaves.
enum class PortFault {
    None,
    Silence,       // never answers
    Delay,         // answers after `portFaultMs` milliseconds
    WrongEcho,     // echoes another command code
    WrongStatus,   // status byte other than 0x33
    NoAck,         // settings acknowledged with 0x00 instead of 0x01
    Split,         // reply sent in two parts `portFaultMs` apart (first part: 3 bytes)
    Garbage,       // a few junk bytes before the reply
    Late,          // answers after `portFaultMs` (meant to exceed the library's time-out)
};

struct CameraSpec {
    std::string name = "Virtual Thermal Camera";  // USB product string
    bool hasName = true;           // false: the device reports no product string
    int width = 256;               // detector size: 256x192, 384x288, 640x512, 1280x1024
    int height = 192;
    bool withTemp = true;          // image-and-temperature layout (else image only)
    double fps = 25.0;
    int captureNodes = 1;          // V4L2 capture nodes on the device (0: none)
    bool metadataNode = true;      // a metadata node (device_caps without VIDEO_CAPTURE)
    int ttyNodes = 1;              // command ports (each a pty; the first one answers)
    bool usbParent = true;         // false: nodes have no USB parent (skipped by discovery)
    bool uvcListed = true;         // false: not in libuvc's device list
    unsigned buffersGranted = 0;   // REQBUFS grants this many (0: the count asked for)
    int querycapErrno = 0;         // QUERYCAP on the capture node fails with this errno
    int sfmtErrno = 0;             // S_FMT fails with this errno
    bool intervalNumeratorZero = false;  // G_PARM answers timeperframe 0/fps
    PortFault portFault = PortFault::None;
    int portFaultMs = 0;
};

// One request frame the responder received.
struct Request {
    std::vector<uint8_t> bytes;
    double time;  // seconds on CLOCK_MONOTONIC
};

// The camera model's state, as the responder sees it.
struct Model {
    int palette = 0;
    int tempLevelCode = 0;          // the camera's own code: 0, 1 or 3
    int tempUnit = 0;
    int imageLevel = 0;
    int32_t env[5] = {250000, 10000, 9500, 250000, 10000};  // x10000: atmos, distance, emissivity, reflected, transmittance
    int tuning[6] = {0, 0, 0, 0, 0, 0};     // detail, spatial, contrast, brightness, time, dynamic range
    uint8_t capByte7 = 0x7E;        // capability report byte 7
    uint8_t capByte15 = 0x00;       // capability report byte 15
    uint16_t scale[4] = {};         // formula per level code (index 0, 1, 3 used)
    int16_t offset[4] = {};
    int16_t fpaTemp = 3125;         // hundredths of a degree
    int16_t cameraTemp = 3550;
    int shutterCount = 0;
};

class Camera {
public:
    // Location and nodes.
    int busnum() const;
    int devnum() const;
    std::string videoPath(int i = 0) const;   // i-th capture node
    std::string metadataPath() const;         // "" when none
    std::string serialPath(int i = 0) const;  // pty slave path of the i-th tty node
    CameraSpec spec() const;

    // Video faults at run time.
    void Unplug();                        // every request and dequeue fails with ENODEV, select reports ready
    void Stall(double seconds);           // no frame for that long
    void SetShortFrames(unsigned bytes);  // frames carry bytesused = bytes (0: full frames again)
    void ChangeSize(int width, int height, bool withTemp);  // later frames have the new size
    void SetQuerycapErrno(int err);
    void SetSfmtErrno(int err);

    // Port faults at run time.
    void SetPortFault(PortFault fault, int ms = 0);
    // Bytes the responder sends unasked (e.g. a stale reply) right now.
    void InjectPortBytes(const std::vector<uint8_t>& bytes);

    // Model.
    Model model() const;
    void SetModel(const Model& m);

    // Inspection.
    std::vector<Request> requests() const;
    void ClearRequests();
    uint64_t framesProduced() const;      // frames the producer completed
    uint64_t framesDequeued() const;
    unsigned buffersMapped() const;       // buffers currently mmapped by a client
    bool streaming() const;
    bool videoOpen() const;               // a client holds the capture node open

    // Scene. Temperatures of the synthetic scene in tenths of a degree at
    // pixel (x, y) for pixels that the moving object never covers; the raw
    // samples are produced from these with the formula of the current level,
    // so that (raw - offset) / scale * 10 gives them back exactly.
    bool IsStatic(int x, int y) const;
    int SceneTenths(int x, int y) const;
    // Centre of the hottest static object, in pixels.
    int HotspotX() const;
    int HotspotY() const;
};

Camera& AddCamera(const CameraSpec& spec = CameraSpec());
std::vector<Camera*> Cameras();
void RemoveAll();

}  // namespace vcam
