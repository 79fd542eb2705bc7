// camera_hub.h - the cameras behind the live view: one stream per camera
// however many clients watch it, the newest frame of each, and a camera that
// vanishes and comes back.
//
// Each camera's session hands its frames to the hub as to any FrameSink:
// the library's image plane is copied straight into the buffer of a new
// Frame (frame_message.h), and the temperature plane after it, so each
// frame is copied twice on its way in (each plane once) and never again:
// raw clients are sent that buffer, the encoders read its planes.
#pragma once

#include "frame_message.h"

#include <vivaclient/camera.h>
#include <vivaclient/camera_session.h>
#include <vivaclient/frame_stream.h>
#include <vivaclient/result_text.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vivatool::serve {

// What a client learns when it waits for a camera.
struct CameraView {
    bool live = false;                   // open and streaming
    std::shared_ptr<const Frame> frame;  // the newest frame, or null
    std::shared_ptr<const Frame> lastGood;  // the newest not taken during or just after a shutter correction
    vivaclient::SessionEvent lastEvent;              // the newest loss, return or error (kind Opened: none yet)
};

struct CameraSummary {
    int index = 0;  // the server's number for the camera, stable across a replug
    vivaclient::CameraInfo info;
    bool live = false;
    int width = 0;
    int height = 0;
    bool radiometric = false;
    uint64_t opened = 0;  // how many times the camera was opened: a new number is a new open
    vivaclient::SessionEvent lastEvent;  // the newest loss, return or error (kind Opened: none yet)
    bool shutter = false;    // the newest frame was taken during a shutter correction
    bool settling = false;   // or just after one
};

class CameraHub {
public:
    explicit CameraHub(vivaclient::LibrarySession& library);
    ~CameraHub();  // closes every camera
    CameraHub(const CameraHub&) = delete;
    CameraHub& operator=(const CameraHub&) = delete;

    // Searches and opens every camera found; cameras that fail to open are
    // retried by Maintain(). Returns the search's call.
    vivaclient::Call Start();

    // Called regularly by one thread: searches again (at most every
    // `rescanEvery`) while a camera is missing, opening cameras seen for the
    // first time and those that failed their first open. A camera that was
    // open is kept by its CameraSession: lost or stalled, it is waited for
    // and reopened under its index.
    void Maintain();

    // Closes every camera and wakes every waiting client.
    void Close();

    std::vector<CameraSummary> Cameras() const;
    bool Exists(int index) const;

    // The camera's state now.
    CameraView View(int index) const;

    // Waits until camera `index` has a frame newer than `afterSequence`, its
    // live state differs from `wasLive`, `until` passes or `stop` is set.
    CameraView WaitForChange(int index, uint64_t afterSequence, bool wasLive,
                             std::chrono::steady_clock::time_point until, const std::atomic<bool>& stop) const;

    // Runs `work` with the camera's handle while no other command runs on it
    // (the library does not serialise command exchanges on one camera). The
    // handle is 0 when the camera is not open or known to be lost; `work` must
    // then not use it.
    void WithCamera(int index, const std::function<void(unsigned long handle)>& work) const;

    // The camera's session counters (zeros before its first open).
    vivaclient::CameraSession::Counters Counters(int index) const;

    // A shutter correction through the camera's session (its frames are
    // flagged, its events told): the command's result, OZL_USB_INVALID_PARAM
    // when the camera is not open.
    int CorrectShutter(int index) const;

    // The newest sign of progress of any camera (a frame, or a search for a
    // camera that is away), or of the hub's own searches: for a watchdog.
    vivaclient::FrameClock::time_point Progress() const;

    // How long a camera may go without a frame before it counts as lost, and
    // how often a missing camera is searched for. Set before Start().
    std::chrono::milliseconds stallLimit = vivaclient::kStallLimit;
    std::chrono::milliseconds rescanEvery{1000};
    // Every camera's shutter policy. Set before Start().
    vivaclient::ShutterPolicy shutterPolicy;

    // Told each camera's session events (with the camera's index), on the
    // session's thread; set before Start().
    std::function<void(int index, const vivaclient::SessionEvent& event)> onEvent;

private:
    struct Slot;

    Slot* Find(int index) const;
    // Needs libraryMutex_ held.
    void OpenSlot(Slot& slot, const vivaclient::CameraInfo& found);
    void CloseSlot(Slot& slot);
    void Rescan();

    vivaclient::LibrarySession& library_;
    // Held around search and open, which share the library's search results.
    std::mutex libraryMutex_;
    // Guards the list of slots (not their contents). Slots are never removed
    // before the hub is destroyed, so a Slot* stays valid.
    mutable std::mutex slotsMutex_;
    std::vector<std::unique_ptr<Slot>> slots_;
    // Written by Maintain()'s thread, read by Progress().
    std::atomic<std::chrono::steady_clock::time_point> lastScan_{};
};

}  // namespace vivatool::serve
