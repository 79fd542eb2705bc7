// CameraCore - one open camera for the Python package, on the client layer
// (client/) and so on the public C functions only. It knows nothing of
// Python: the module wraps it, releases the interpreter lock around every
// call that blocks and turns CallError into the package's exceptions.
//
// The camera runs in a vivaclient::CameraSession, which keeps it streaming:
// the stall limit, the loss, waiting for the camera to come back and the
// one sequence numbering are the session's. The core puts its frames into a
// ring for the readers and keeps its events for the application.
//
// Threads: the camera's read thread fills the frame ring; the library's poll
// thread reports exceptions; the session's supervisor reports events; any
// Python thread runs the rest. Commands on one camera run one at a time, and
// Close waits for a running command.
#pragma once

#include <vivaclient/camera.h>
#include <vivaclient/camera_session.h>
#include <vivaclient/frame_ring.h>
#include <vivaclient/frame_stream.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace vivazuzoz_python {

using vivaclient::CameraInfo;
using vivaclient::FrameRing;
using vivaclient::SessionEvent;

// A failed call: `code` is the library's result code, or one of the codes
// below for the package's own conditions. `event` names what made a camera
// gone ("lost", "stalled", "error").
struct CallError : std::runtime_error {
    enum Kind { Result, Timeout, Gone };
    CallError(Kind kind, int code, const std::string& message, std::string event = "")
        : std::runtime_error(message), kind(kind), code(code), event(std::move(event))
    {
    }
    Kind kind;
    int code;
    std::string event;
};

// A fresh search (initialises the library on first use).
std::vector<CameraInfo> Search();

// Which camera to open: an index of a fresh search, or a node path (video or
// serial) found in it.
struct Selector {
    int index = 0;
    std::string path;                   // used when not empty
    bool reconnect = false;             // a lost or stalled camera is waited for and reopened
    vivaclient::ShutterPolicy shutter;  // the session's correction policy
};

// While one lives, what this thread writes to stdout or stderr is the
// library's: the module holds one around every call into the library.
class LibraryLines {
public:
    LibraryLines();
    ~LibraryLines();
    LibraryLines(const LibraryLines&) = delete;
    LibraryLines& operator=(const LibraryLines&) = delete;
};

class CameraCore : private vivaclient::FrameSink {
public:
    // A core for `which`, not open yet (Start opens it); its id is known, so
    // listeners can be registered before the first event.
    static std::shared_ptr<CameraCore> Make(const Selector& which);
    ~CameraCore() override;
    CameraCore(const CameraCore&) = delete;
    CameraCore& operator=(const CameraCore&) = delete;

    // Opens the camera and starts frame delivery into the ring. Throws
    // CallError; close the core then. The events of the open are held from
    // the event hook (its listener could not open or search meanwhile)
    // until ReleaseHeldEvents.
    void Start();
    // Hands the events held since Start to the event hook, in order; later
    // events go to it as they come. Call after Start, without any lock.
    void ReleaseHeldEvents();

    // Stops delivery and closes the camera; waits for a running command.
    // Other calls, also concurrent ones, return once the camera is closed.
    // From an event listener (the session's supervisor) the close runs on a
    // thread of its own, as the session cannot be closed from its own thread.
    void Close();
    bool closed() const { return closed_.load(); }

    CameraInfo entry() const { return session_->info(); }
    uint64_t id() const { return id_; }
    FrameRing& ring() { return *ring_; }

    // Runs call(handle) as one command; throws CallError naming `function`
    // for a result other than 0, for a closed camera (code 3) and for one
    // that is gone or away (no point waiting for the time-out).
    template <typename Call>
    void Command(const char* function, Call call)
    {
        if (closed_.load())
            throw ClosedError(function);
        int result = OZL_USB_SUCCESS;
        const bool ran = session_->WithCamera([&](vivaclient::Camera& camera) { result = camera.Command(call); });
        if (closed_.load())
            throw ClosedError(function);
        if (!ran)
            throw GoneError(function);
        if (result != OZL_USB_SUCCESS)
            throw CallError(CallError::Result, result, vivaclient::DescribeFailure(vivaclient::Call{function, result}));
    }
    // A shutter correction through the session: its frames are flagged and
    // its events told. Throws as Command does.
    void CorrectShutter(const char* function)
    {
        if (closed_.load())
            throw ClosedError(function);
        const int result = session_->CorrectShutter();
        if (closed_.load())
            throw ClosedError(function);
        if (result == OZL_USB_INVALID_PARAM)
            throw GoneError(function);
        if (result != OZL_USB_SUCCESS)
            throw CallError(CallError::Result, result, vivaclient::DescribeFailure(vivaclient::Call{function, result}));
    }
    static CallError ClosedError(const char* what);
    // Names the loss, stall or error that took the camera away.
    CallError GoneError(const char* what) const;

    // The events not taken yet, oldest first, waiting up to `timeout`
    // seconds (negative: without limit) for one when there are none. The
    // oldest are forgotten beyond kKeptEvents.
    static constexpr size_t kKeptEvents = 256;
    std::vector<SessionEvent> TakeEvents(double timeout);

    // Interpreter exit: closes every open camera and ends the package's library session.
    static void ShutdownAll();

    // Called on the poll thread after a camera's exception has been recorded;
    // set once by the module (it forwards to the Python callback).
    using ExceptionHook = void (*)(uint64_t id, int code);
    static void SetExceptionHook(ExceptionHook hook);
    // Called with every event of every camera, on the thread that has it
    // (the supervisor; the opening thread for the first Opened).
    using EventHook = void (*)(uint64_t id, const SessionEvent& event);
    static void SetEventHook(EventHook hook);

    // Captures the library's own lines: those that threads it runs on write
    // to stdout or stderr (LibraryWrites) are held for TakeCoreLines, the
    // rest of the process writes as before. Call once, before the library
    // is used.
    static void CaptureCoreLines();
    // The capture core's lines held since the last call (the module logs them).
    static std::string TakeCoreLines();
    // Show the capture core's lines on standard error as they come.
    static void ShowCoreLines(bool on);

private:
    CameraCore() = default;
    // The session's `prepare`: the ring on the first open, the exception
    // listener on every open.
    std::string Prepare(vivaclient::Camera& camera, bool reopened);
    void OnEvent(const SessionEvent& event);
    // To the event hook, on this thread.
    void Report(const SessionEvent& event);

    // The read thread's side: frames go straight into the ring's slots.
    uint16_t* BeginFrame(int width, int height, uint64_t sequence, vivaclient::FrameClock::time_point arrival) override;
    void CompleteFrame(const vivaclient::FrameRef& frame) override;
    void AbandonFrame() override;

    // Made by Prepare on the first open, before delivery starts; kept until
    // destruction. Declared before the session, which calls this sink (and
    // so the ring) until it is gone: members go in reverse order.
    std::unique_ptr<FrameRing> ring_;
    std::unique_ptr<vivaclient::CameraSession> session_;  // made by Make

    uint64_t id_ = 0;                     // key in the registry of open cameras; never reused
    FrameRing::Slot* pending_ = nullptr;  // read thread only: the slot being filled
    std::atomic<bool> closed_{false};     // set once, by Close or ShutdownAll
    std::once_flag closeOnce_;            // the close itself runs once

    mutable std::mutex eventLock_;      // guards the fields below
    std::condition_variable newEvent_;  // an event was queued, or the camera closed
    std::deque<SessionEvent> events_;   // not taken yet
    bool holding_ = true;               // events go to held_, not to the hook, until ReleaseHeldEvents
    std::deque<SessionEvent> held_;     // for the hook
    SessionEvent away_;                 // the last Lost, Stalled or Error; kind Opened when none
};

}  // namespace vivazuzoz_python
