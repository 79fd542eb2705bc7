// camera.h - the library's lifecycle, an open camera and its frames, as
// RAII objects, so every way out of a command closes the camera and
// deinitialises the library.
#pragma once

#include "result_text.h"
#include "state_dir.h"

#include <VIVAZUZOZ.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vivatool {

struct CameraInfo {
    int index = 0;
    std::string name;
    std::string video;   // "" when none was found
    std::string serial;  // "" when none was paired
};

// OZL_USB_Init for its lifetime, OZL_USB_Deinit at the end, run from the
// tool's state folder so that the library's log lands there (see
// state_dir.h: resolve the user's paths with UserPath meanwhile). Outlives
// every OpenCamera made under it.
class LibrarySession {
public:
    LibrarySession();
    ~LibrarySession();
    LibrarySession(const LibrarySession&) = delete;
    LibrarySession& operator=(const LibrarySession&) = delete;

    Call Search(std::vector<CameraInfo>& cameras);

    // Asks the library to report the loss of `handle`; lost() turns true
    // when it does.
    Call WatchForLoss(unsigned long handle);
    bool lost() const { return lost_.load(); }

private:
    static void OnException(unsigned long handle, int code, void* user);

    StateDirectoryScope stateDirectory_;  // entered before OZL_USB_Init, left after OZL_USB_Deinit

    // Set by the library's exception-poll thread, read by the command's
    // thread; lives until after OZL_USB_Deinit, which stops that thread.
    std::atomic<bool> lost_{false};
};

// One opened camera; closed by the destructor.
class OpenCamera {
public:
    OpenCamera() = default;
    ~OpenCamera();
    OpenCamera(const OpenCamera&) = delete;
    OpenCamera& operator=(const OpenCamera&) = delete;

    Call Open(int index);
    unsigned long handle() const { return handle_; }

private:
    unsigned long handle_ = 0;
};

// Whether the camera's stream carries temperatures, found by asking for
// temperature delivery (the library refuses it on an image-only stream).
Call ProbeTemperatureStream(unsigned long handle, bool& withTemp);

// One frame as the tool consumes it. On a stream with temperatures `temp` is
// the temperature plane in tenths of a degree and `image` is null; on an
// image-only stream `image` holds the raw samples and `temp` is null. The
// pointers are valid only during the sink call.
struct FrameView {
    int width = 0;
    int height = 0;
    const uint16_t* image = nullptr;
    const int16_t* temp = nullptr;
};

// Registers the preview and (when the stream has them) temperature callbacks
// and hands each complete frame to `sink` on the library's read thread. The
// destructor stops both callbacks; once it returns the sink is not running.
class FrameSource {
public:
    using Sink = std::function<void(const FrameView&)>;

    FrameSource(unsigned long handle, Sink sink) : handle_(handle), sink_(std::move(sink)) {}
    ~FrameSource();
    FrameSource(const FrameSource&) = delete;
    FrameSource& operator=(const FrameSource&) = delete;

    Call Start();
    bool withTemp() const { return withTemp_; }

private:
    static void OnVideo(unsigned long handle, OZL_USB_VIDEO_INFO_CB* frame, void* user);
    static void OnTemp(unsigned long handle, OZL_USB_TEMP_INFO_CB* frame, void* user);

    const unsigned long handle_;
    const Sink sink_;
    // Command thread only: what Start registered.
    bool withTemp_ = false;
    bool previewStarted_ = false;
    // Read thread only: the preview callback of a frame with temperatures
    // has run, so the next temperature callback completes that frame.
    bool imageSeen_ = false;
};

}  // namespace vivatool
