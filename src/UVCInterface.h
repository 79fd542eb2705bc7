// UVCInterface - the video half of one camera: discovery of the cameras
// (static SearchDev), and the video channel that opens a camera's capture
// node through the capture core, streams it and hands every frame, uncopied,
// to its owner's OnDataRecv on a read thread of its own.
#pragma once

#include "VIVAZUZOZ.h"

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct v4l2core_dev;
class BaseDevCtrl;

// True when `path` is a V4L2 node whose device_caps has VIDEO_CAPTURE.
bool is_video_capture_node(const char* path);

class UVCInterface {
public:
    UVCInterface();
    ~UVCInterface();  // closes the channel if it is open

    UVCInterface(const UVCInterface&) = delete;
    UVCInterface& operator=(const UVCInterface&) = delete;

    // Opens the video node of search record `index` and starts the read
    // thread, which delivers frames to owner->OnDataRecv (possibly before
    // OpenDev returns). An open channel is closed first. 0, 4 (node cannot
    // be opened) or 1 (stream or thread could not be started).
    int OpenDev(int index, BaseDevCtrl* owner);
    // Stops the read thread and the stream and releases the capture record;
    // after it returns no frame is delivered any more. Returns promptly also
    // when the camera is gone. Nothing on a closed channel.
    //
    // Called on the read thread itself (from inside OnDataRecv, or by the
    // destructor when the last reference to the owner drops there) it cannot
    // join: it stops the loop, detaches the thread and leaves the teardown of
    // the capture record to that thread, which does it as soon as the
    // callback has returned, without touching this object again.
    void CloseDev();
    // 1 while the camera is gone or the stream has stalled: from the first
    // frame wait that fails with ENODEV, or that fails when no frame has
    // arrived for 3 seconds, until a frame is dequeued again or the channel
    // is re-opened; 0 otherwise.
    int GetDevState();

    static void* uvc_read_task(void* arg);
    // Discovery: fills `devs` (cleared first) and m_videoMap. 0, or 1 when
    // udev could not be initialised.
    static int SearchDev(std::vector<OZL_USB_DEV_INFO>& devs);

    // Record index -> video node path of the searches so far (never cleared).
    // No lock: the application keeps searches and opens apart.
    static std::map<int, std::string> m_videoMap;

private:
    struct ReadTask;

    // Takes a capture record down: stream off and driver buffers released,
    // unless the camera is gone (then only unmapped), node closed, record freed.
    static void ReleaseRecord(v4l2core_dev* vd, bool gone);
    // The capability probe: true when the node answers ENODEV or EIO.
    static bool ProbeGone(const v4l2core_dev* vd);

    // m_vd, m_readThread, m_opened and m_task are used only by the thread
    // that opens and closes the channel (and by the read thread through
    // CloseDev when it closes its own channel; see there). The read thread
    // works on its own copy of the record pointer.
    v4l2core_dev* m_vd;
    pthread_t m_readThread;
    bool m_opened;
    // Read by the read thread before each delivery; written only by OpenDev
    // while no read thread of this channel runs (an open channel is closed,
    // and so joined, first), and published to the new thread by pthread_create.
    BaseDevCtrl* m_owner;
    std::atomic<int32_t> m_devState;  // written by the read thread and OpenDev, read by the poll thread
    ReadTask* m_task;                 // the running thread's argument; dereferenced only on that thread
};
