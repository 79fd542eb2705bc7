// UVCInterface's video channel: opens a camera's capture node through the
// capture core, streams it and hands every frame to its owner on a read
// thread of its own. Discovery is in UVCDiscovery.cpp.
#include "UVCInterface.h"

#include "BaseDevCtrl.h"
#include "Common/v4l2core.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <utility>

// The read thread's argument. The thread owns it and frees it when it ends.
struct UVCInterface::ReadTask {
    v4l2core_dev* vd;
    UVCInterface* channel;
    // Set by CloseDev when it runs on this thread and hands the teardown over;
    // written and read only by the read thread itself.
    bool releaseOnExit;
    bool cameraGone;  // how to release then (see ReleaseRecord)
};

namespace {

// Pause after a frame wait that returned at once without a frame. When the
// camera is gone every wait fails immediately; when the stream has no buffer
// queued, the node reports itself ready and the dequeue finds nothing
// (EAGAIN). Without a pause the thread would spin on a core, and in the first
// case flood standard error. A wait that failed by timing out has waited
// already: the next one follows at once, so a stall prints one time-out line
// per second and a recovering stream is not delayed.
const long kFailurePauseNs = 100L * 1000 * 1000;
const auto kImmediateFailure = std::chrono::nanoseconds(kFailurePauseNs);

// A stream that delivers no frame for this long while open is reported as
// stalled (device state 1) until frames flow again.
const auto kStallLimit = std::chrono::seconds(3);

bool IsCapturing(const v4l2core_dev* vd)
{
    return __atomic_load_n(&vd->capturing, __ATOMIC_SEQ_CST) != 0;
}
void SetCapturing(v4l2core_dev* vd, bool on)
{
    __atomic_store_n(&vd->capturing, on ? 1u : 0u, __ATOMIC_SEQ_CST);
}

void PauseAfterFailure()
{
    struct timespec pause = {0, kFailurePauseNs};
    while (nanosleep(&pause, &pause) == -1 && errno == EINTR) {
    }
}

}  // namespace

UVCInterface::UVCInterface()
    : m_vd(nullptr), m_readThread(), m_opened(false), m_owner(nullptr), m_devState(0), m_task(nullptr)
{
}

UVCInterface::~UVCInterface()
{
    CloseDev();
}

int UVCInterface::GetDevState()
{
    return m_devState.load();
}

bool UVCInterface::ProbeGone(const v4l2core_dev* vd)
{
    struct v4l2_capability cap;
    memset(&cap, 0, sizeof cap);
    return xioctl(vd->fd, VIDIOC_QUERYCAP, &cap) == -1 && (errno == ENODEV || errno == EIO);
}

void UVCInterface::ReleaseRecord(v4l2core_dev* vd, bool gone)
{
    if (gone) {
        // The driver would refuse both requests; just unmap and let go.
        mmapRelease(vd);
        pthread_mutex_destroy(&vd->mutex);
    } else {
        v4l2core_capture_stop(vd);
        v4l2core_dev_uninit(vd);
    }
    v4l2core_dev_clean(vd);
}

int UVCInterface::OpenDev(int index, BaseDevCtrl* owner)
{
    if (m_opened)
        CloseDev();
    m_owner = owner;
    m_devState.store(0);

    // operator[]: an index no search produced opens "" and fails like a missing node.
    const std::string path = m_videoMap[index];
    v4l2core_dev* vd = v4l2core_dev_open(path.c_str());
    if (vd == nullptr)
        return OZL_USB_OPEN_FAILED;
    // The camera keeps its size and rate; only the pixel format changes.
    (void)v4l2core_dev_init(vd, static_cast<int>(vd->width), static_cast<int>(vd->height), static_cast<int>(vd->fps));
    if (v4l2core_capture_start(vd) < 0) {
        v4l2core_dev_uninit(vd);
        v4l2core_dev_clean(vd);
        return OZL_USB_FAILURE;
    }
    SetCapturing(vd, true);

    ReadTask* task = new ReadTask{vd, this, false, false};
    // Open before the thread starts: a callback may close the channel from
    // the very first frame, before this function returns.
    m_vd = vd;
    m_task = task;
    m_opened = true;
    if (pthread_create(&m_readThread, nullptr, &UVCInterface::uvc_read_task, task) != 0) {
        delete task;
        SetCapturing(vd, false);
        ReleaseRecord(vd, false);
        m_vd = nullptr;
        m_task = nullptr;
        m_opened = false;
        return OZL_USB_FAILURE;
    }
    return OZL_USB_SUCCESS;
}

void UVCInterface::CloseDev()
{
    if (!m_opened)
        return;
    v4l2core_dev* vd = m_vd;
    SetCapturing(vd, false);
    if (pthread_equal(pthread_self(), m_readThread)) {
        // On the read thread: joining would wait for ourselves. The loop ends
        // when the current callback returns and the thread releases the record.
        m_task->releaseOnExit = true;
        m_task->cameraGone = (vd->fd >= 0 && ProbeGone(vd)) || vd->last_errno == ENODEV;
        pthread_detach(m_readThread);
    } else {
        pthread_join(m_readThread, nullptr);
        // The thread has ended: its last_errno is ours to read. A stalled
        // stream (state 1 without ENODEV) is still there and is taken down
        // with the driver's help.
        ReleaseRecord(vd, (vd->fd >= 0 && ProbeGone(vd)) || vd->last_errno == ENODEV);
    }
    m_vd = nullptr;
    m_task = nullptr;
    m_opened = false;
}

void* UVCInterface::uvc_read_task(void* arg)
{
    using Clock = std::chrono::steady_clock;
    ReadTask* task = static_cast<ReadTask*>(arg);
    v4l2core_dev* vd = task->vd;
    if (vd == nullptr) {
        delete task;
        return nullptr;
    }
    UVCInterface* channel = task->channel;
    Clock::time_point lastFrame = Clock::now();
    while (IsCapturing(vd)) {
        const Clock::time_point waitStart = Clock::now();
        pthread_mutex_lock(&vd->mutex);
        const int got = v4l2core_capture_getframe(vd);
        pthread_mutex_unlock(&vd->mutex);

        if (got == 1) {
            lastFrame = Clock::now();
            channel->m_devState.store(0);
            // A frame holds width*height 16-bit samples; anything shorter than
            // half of it is not worth handing on.
            const uint32_t minBytes = vd->width * vd->height;
            if (vd->frame_bytes >= minBytes && channel->m_owner != nullptr)
                channel->m_owner->OnDataRecv(static_cast<unsigned char*>(vd->frame_data),
                                             static_cast<unsigned long>(vd->frame_bytes));
            // The callback may have closed (even destroyed) the channel: from
            // here on only the record and the task are touched until the
            // loop condition has been checked again.
            continue;
        }
        // No frame: the wait failed (-1) or found nothing ready (0).
        const Clock::time_point now = Clock::now();
        if (vd->last_errno == ENODEV || now - lastFrame >= kStallLimit)
            channel->m_devState.store(1);
        if (now - waitStart < kImmediateFailure)
            PauseAfterFailure();
    }
    if (task->releaseOnExit)
        ReleaseRecord(vd, task->cameraGone);
    delete task;
    return nullptr;  // same as pthread_exit(nullptr)
}
