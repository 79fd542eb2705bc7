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
    // thread, which delivers frames to owner->OnDataRecv. 0, 4 (node cannot be
    // opened) or 1 (stream or thread could not be started).
    int OpenDev(int index, BaseDevCtrl* owner);
    // Stops the read thread and the stream and releases the capture record.
    // Returns promptly also when the camera is gone. Nothing on a closed channel.
    void CloseDev();
    // 1 while the camera is gone (see the .cpp for when), else 0.
    int GetDevState();

    static void* uvc_read_task(void* arg);
    // Discovery: fills `devs` (cleared first) and m_videoMap. 0, or 1 when
    // udev could not be initialised.
    static int SearchDev(std::vector<OZL_USB_DEV_INFO>& devs);

    // Record index -> video node path of the searches so far (never cleared).
    static std::map<int, std::string> m_videoMap;

private:
    v4l2core_dev* m_vd;
    pthread_t m_readThread;
    bool m_opened;
    BaseDevCtrl* m_owner;
    std::atomic<int32_t> m_devState;  // written by the read thread / CloseDev, read by the poll thread
};
