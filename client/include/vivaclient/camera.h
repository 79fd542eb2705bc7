// camera.h - the library's lifecycle, finding and opening a camera as it
// should be opened, an open camera as an RAII object, and a camera that comes
// back after an unplug (camera_session.h keeps one streaming).
//
// Every front end opens cameras through here: search, choose (by index, by
// node path, or the first camera with both nodes), prepare the command port
// (command_port.h), open, and on failure a message that says what to do.
#pragma once

#include <vivaclient/result_text.h>
#include <vivaclient/state_dir.h>

#include <VIVAZUZOZ.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vivaclient {

struct CameraInfo {
    int index = 0;  // in the search that found it; changes between searches
    std::string name;
    std::string videoPath;   // "" when none was found
    std::string serialPath;  // "" when none was paired
    std::string usbPort;     // the physical USB port ("1-1.2"), "" when unknown (usb_port.h)

    // Both a capture node and a command port: a camera that can be opened.
    bool complete() const { return !videoPath.empty() && !serialPath.empty(); }
    // What stays the same when the camera is unplugged and plugged back into
    // the same port: the port, else (no USB parent) the capture node's path.
    std::string identity() const { return usbPort.empty() ? videoPath : usbPort; }
};

// Search and open share the library's last search result, so the client
// layer runs them one at a time in the whole process.
std::mutex& DiscoveryMutex();

// Runs a search (the library must be initialised) and adds each camera's
// USB port. Takes DiscoveryMutex().
Call SearchCameras(std::vector<CameraInfo>& cameras);

// The process's use of the library, counted: the first session made calls
// OZL_USB_Init, the last one to go OZL_USB_Deinit, so the tool's commands,
// the Python package and the GStreamer elements in one process share one
// initialised library and none deinitialises it under another. Init runs
// with the state folder as its working directory (RunInStateDirectory,
// state_dir.h), so that the library's log lands there, without moving the
// rest of the process: the user's relative paths keep their meaning.
// Thread-safe. Outlives every Camera opened under it.
class LibrarySession {
public:
    LibrarySession();
    ~LibrarySession();
    LibrarySession(const LibrarySession&) = delete;
    LibrarySession& operator=(const LibrarySession&) = delete;

    Call Search(std::vector<CameraInfo>& cameras) { return SearchCameras(cameras); }

    // How many sessions the process holds now.
    static int Users();
};

// Which camera to open.
struct CameraChoice {
    static constexpr int kAny = -1;
    int index = kAny;      // an index of the search, or kAny: the first complete camera
    std::string path;      // when not empty: the camera whose capture node or command port this is
    std::string identity;  // when not empty: the camera with this identity (CameraInfo::identity)
};

// The camera `choice` names among `cameras`, or null with `error` saying why
// and what to do.
const CameraInfo* ChooseCamera(const std::vector<CameraInfo>& cameras, const CameraChoice& choice, std::string& error);

// Why an open failed: the library's call (or OZL_USB_FAILURE for a choice
// that found nothing), a message for the user, and whether the capture
// core's own lines say more (a front end then shows them).
struct OpenFailure {
    Call call;
    std::string message;
    bool coreLinesExplain = false;
    // Another program, or another stream of this one, has the camera open;
    // the message says which ("in use by another program").
    bool busy = false;
};

// One open camera. Closed by Close() or the destructor, whichever comes
// first. Commands on it run one at a time (the library leaves that to its
// caller): use Command() or hold commandMutex().
class Camera {
public:
    // Searches, chooses, prepares the command port and opens, all under
    // DiscoveryMutex(). Null on failure, described in `failure`.
    static std::unique_ptr<Camera> Open(const CameraChoice& choice, OpenFailure& failure);
    ~Camera();
    Camera(const Camera&) = delete;
    Camera& operator=(const Camera&) = delete;

    // Waits for the command that runs, then closes; later calls do nothing.
    void Close();

    unsigned long handle() const { return handle_; }
    const CameraInfo& info() const { return info_; }

    // The library reported the camera gone (exception 1001).
    bool lost() const;
    // Called on the library's poll thread with every exception code of this
    // camera, after lost() is set; replaced or removed (null) at any time.
    void OnException(std::function<void(int code)> listener);

    // Runs work(handle) while no other command runs on this camera; a
    // closed camera answers OZL_USB_INVALID_PARAM without running it.
    template <typename Work>
    int Command(Work&& work)
    {
        std::lock_guard<std::mutex> hold(commands_);
        if (handle_ == 0)
            return OZL_USB_INVALID_PARAM;
        return work(handle_);
    }
    std::mutex& commandMutex() { return commands_; }

    // Whether the stream carries temperatures, asked of the library (it
    // refuses temperature delivery on an image-only stream).
    Call ProbeTemperatures(bool& withTemps);

    struct ExceptionState;  // shared with the poll thread's callback

private:
    Camera() = default;

    CameraInfo info_;
    std::mutex commands_;       // held for one command, and by Close
    unsigned long handle_ = 0;  // guarded by commands_ once open
    std::shared_ptr<ExceptionState> state_;
    uintptr_t key_ = 0;  // in the exception registry; set once by Open
};

}  // namespace vivaclient
