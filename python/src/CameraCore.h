// CameraCore - one open camera for the Python package, on the client layer
// (client/) and so on the public C functions only. It knows nothing of
// Python: the module wraps it, releases the interpreter lock around every
// call that blocks and turns CallError into the package's exceptions.
//
// Threads: the camera's read thread fills the frame ring through the client
// layer's frame stream; the library's poll thread reports exceptions; any
// Python thread runs the rest. Commands on one camera run one at a time
// (client::Camera), and Close waits for a running command.
#pragma once

#include "camera.h"
#include "frame_ring.h"
#include "frame_stream.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace vivazuzoz_python {

using vivaclient::CameraInfo;
using vivaclient::FrameRing;

// A failed call: `code` is the library's result code, or one of the codes
// below for the package's own conditions.
struct CallError : std::runtime_error {
    enum Kind { Result, Timeout, Gone };
    CallError(Kind kind, int code, const std::string& message)
        : std::runtime_error(message), kind(kind), code(code) {}
    Kind kind;
    int code;
};

// A fresh search (initialises the library on first use).
std::vector<CameraInfo> Search();

// Which camera to open: an index of a fresh search, or a node path (video or
// serial) found in it.
struct Selector {
    int index = 0;
    std::string path;        // used when not empty
    bool reconnect = false;  // a lost camera is waited for and reopened
};

class CameraCore : private vivaclient::FrameSink {
public:
    // Opens the camera and starts frame delivery into the ring. Throws CallError.
    static std::shared_ptr<CameraCore> Open(const Selector& which);
    ~CameraCore() override;
    CameraCore(const CameraCore&) = delete;
    CameraCore& operator=(const CameraCore&) = delete;

    // Stops delivery and closes the camera; waits for a running command.
    // Other calls, also concurrent ones, return once the camera is closed.
    void Close();
    bool closed() const { return m_closed.load(); }
    bool gone() const { return m_gone.load(); }

    CameraInfo entry()
    {
        std::lock_guard<std::mutex> hold(m_swap);
        return m_camera->info();
    }
    uint64_t id() const { return m_id; }
    FrameRing& ring() { return *m_ring; }

    // Runs call(handle) as one command; throws CallError naming `function`
    // for a result other than 0, for a closed camera (code 3) and for one
    // that is gone (its port is silent: no point waiting for the time-out).
    template <typename Call>
    void Command(const char* function, Call call)
    {
        std::lock_guard<std::mutex> hold(m_swap);
        if (m_closed.load())
            throw ClosedError(function);
        if (m_gone.load() || m_away)
            throw GoneError(function);
        const int result = m_camera->Command(call);
        if (m_closed.load())
            throw ClosedError(function);
        if (result != OZL_USB_SUCCESS)
            throw CallError(CallError::Result, result,
                            vivaclient::DescribeFailure(vivaclient::Call{function, result}));
    }
    static CallError ClosedError(const char* what);
    static CallError GoneError(const char* what);

    // Interpreter exit: marks every open camera closed (readers wake) and
    // deinitialises the library, which closes them and stops the poll thread.
    static void ShutdownAll();

    // Called on the poll thread after a camera's exception has been recorded;
    // set once by the module (it forwards to the Python callback).
    using ExceptionHook = void (*)(uint64_t id, int code);
    static void SetExceptionHook(ExceptionHook hook);

    // The capture core's lines held since the last call (the module logs them).
    static std::string TakeCoreLines();
    // Show the capture core's lines on standard error as they come.
    static void ShowCoreLines(bool on);

private:
    CameraCore() = default;
    void Start();
    // Delivery from m_camera into the ring, and its exception listener.
    void StartStream();
    // The reconnecting thread: waits for a loss, then for the camera to come
    // back to its USB port, and streams from it again.
    void Reconnect();
    // Wakes the reconnecting thread (m_closed set) and joins it.
    void StopReconnecting();

    // The read thread's side: frames go straight into the ring's slots.
    uint16_t* BeginFrame(int width, int height, uint64_t sequence, vivaclient::FrameClock::time_point arrival) override;
    void CompleteFrame(const vivaclient::FrameRef& frame) override;
    void AbandonFrame() override;

    // Made before delivery starts, kept until destruction. Declared before
    // the stream, which calls this sink (and so the ring) until it is gone:
    // members go in reverse order, so the ring outlives the stream.
    std::unique_ptr<FrameRing> m_ring;

    // Guarded by m_swap once the camera streams (replaced by the reconnecting
    // thread; held by every command).
    std::mutex m_swap;
    std::unique_ptr<vivaclient::Camera> m_camera;       // made by Open, kept until destruction
    std::unique_ptr<vivaclient::FrameStream> m_stream;  // stopped by Close, before the camera closes
    bool m_away = false;                                // lost, and not yet back

    bool m_reconnect = false;      // set by Open, before any other thread sees the core
    std::thread m_reconnector;     // runs Reconnect(); joined by Close
    std::mutex m_lossLock;         // guards m_lossPending
    std::condition_variable m_loss;  // a loss was reported, or the camera closed
    bool m_lossPending = false;
    uint64_t m_id = 0;                    // key in the registry of open cameras; never reused
    FrameRing::Slot* m_pending = nullptr; // read thread only: the slot being filled
    std::atomic<bool> m_closed{false};    // set once, by Close or ShutdownAll
    std::atomic<bool> m_shutDown{false};  // ShutdownAll closed it through the library's deinit
    std::once_flag m_closeOnce;           // the close itself runs once
    std::atomic<bool> m_gone{false};      // set by the poll thread on the device-gone exception
};

}  // namespace vivazuzoz_python
