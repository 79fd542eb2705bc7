// CameraCore - one open camera for the Python package, on the public C
// functions only. It knows nothing of Python: the module wraps it, releases
// the interpreter lock around every call that blocks and turns CallError into
// the package's exceptions.
//
// Threads: the camera's read thread runs OnImage/OnTemps and only copies into
// the frame ring; the library's poll thread runs OnException; any Python
// thread runs the rest. Commands on one camera are serialised here (the
// library leaves that to its caller), and Close waits for a running command.
#pragma once

#include "FrameRing.h"

#include "VIVAZUZOZ.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace vivazuzoz_python {

// A failed call: `code` is the library's result code, or one of the codes
// below for the package's own conditions.
struct CallError : std::runtime_error {
    enum Kind { Result, Timeout, Gone };
    CallError(Kind kind, int code, const std::string& message)
        : std::runtime_error(message), kind(kind), code(code) {}
    Kind kind;
    int code;
};

// "OZL_USB_GetPalleteType returned 2 (not supported by the camera or its current stream)"
std::string ResultText(int code);

struct CameraEntry {  // one search record
    int index;
    std::string name, videoPath, serialPath;
};

// A fresh search. Serialised with opens (the library shares the result).
std::vector<CameraEntry> Search();

// Which camera to open: an index of a fresh search, or a node path (video or
// serial) found in it.
struct Selector {
    int index = 0;
    std::string path;  // used when not empty
};

class CameraCore {
public:
    // Opens the camera and starts frame delivery into the ring. Throws CallError.
    static std::shared_ptr<CameraCore> Open(const Selector& which);
    ~CameraCore();
    CameraCore(const CameraCore&) = delete;
    CameraCore& operator=(const CameraCore&) = delete;

    // Stops delivery and closes the camera; waits for a running command.
    // Other calls, also concurrent ones, return once the camera is closed.
    void Close();
    bool closed() const { return m_closed.load(); }
    bool gone() const { return m_gone.load(); }

    const CameraEntry& entry() const { return m_entry; }
    uint64_t id() const { return m_id; }
    FrameRing& ring() { return *m_ring; }

    // Runs call(handle) as one command; throws CallError naming `function`
    // for a result other than 0, for a closed camera (code 3) and for one
    // that is gone (its port is silent: no point waiting for the time-out).
    template <typename Call>
    void Command(const char* function, Call call)
    {
        std::lock_guard<std::mutex> hold(m_commands);
        if (m_closed.load())
            throw ClosedError(function);
        if (m_gone.load())
            throw GoneError(function);
        const int result = call(m_handle);
        if (result != OZL_USB_SUCCESS)
            throw CallError(CallError::Result, result, std::string(function) + " returned " + ResultText(result));
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

private:
    CameraCore() = default;
    void Start();
    static void OnImage(unsigned long handle, OZL_USB_VIDEO_INFO_CB* frame, void* user);
    static void OnTemps(unsigned long handle, OZL_USB_TEMP_INFO_CB* frame, void* user);
    static void OnException(unsigned long handle, int code, void* user);

    CameraEntry m_entry;
    uint64_t m_id = 0;                   // key in the registry of open cameras; never reused
    unsigned long m_handle = 0;          // valid while !m_closed
    std::unique_ptr<FrameRing> m_ring;   // made before delivery starts, kept until destruction
    FrameRing::Slot* m_pending = nullptr;  // read thread only: image stored, temperatures to follow
    std::atomic<bool> m_closed{false};   // set once, by Close or ShutdownAll
    std::atomic<bool> m_shutDown{false}; // ShutdownAll closed it through the library's deinit
    std::once_flag m_closeOnce;          // the close itself runs once
    std::atomic<bool> m_gone{false};     // set by the poll thread on the device-gone exception
    std::mutex m_commands;               // held for one command, and by Close around the close
};

}  // namespace vivazuzoz_python
