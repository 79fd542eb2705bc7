// Emulator - the virtual cameras' shared state: cameras, their capture nodes,
// the client descriptors open on them, and the mappings of their buffers.
//
// One mutex (Lock()) guards all of it; the condition variables below wait on
// it. Producer and responder threads take it only briefly: a frame is drawn
// into its buffer outside the lock while the node's `filling` flag keeps the
// buffer memory alive.
#pragma once

#include "scene.h"
#include "shutter.h"
#include "vcam/VirtualCamera.h"

#include <linux/videodev2.h>
#include <sys/time.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace vcam {
namespace detail {

using Clock = std::chrono::steady_clock;

std::mutex& Lock();
double MonotonicSeconds();

class VideoNode;
class Port;
class ReplaySource;

// Driver buffers of one capture node: `count` buffers of `length` bytes in
// one memfd, buffer i at offset i * stride. Guarded by Lock().
struct BufferSet {
    struct Buf {
        bool queued = false;  // in the driver's incoming queue (or being filled)
        bool done = false;    // filled, waiting to be dequeued
        uint32_t bytesused = 0;
        uint32_t sequence = 0;
        timeval timestamp = {0, 0};
    };
    BufferSet(unsigned count, size_t length);
    ~BufferSet();
    bool ok() const { return base != nullptr; }

    uint64_t id;  // distinguishes buffer sets for mappings made from them
    int memfd = -1;
    uint8_t* base = nullptr;  // the emulator's own mapping, written by the producer
    size_t length;
    size_t stride;
    std::vector<Buf> bufs;
    std::deque<unsigned> incoming;  // queued, in QBUF order
    std::deque<unsigned> done;      // filled, in completion order
};

// An open file description on a virtual node: a real eventfd, readable
// whenever select on a V4L2 node would report it readable. Its O_NONBLOCK
// flag is the client's (given at open or changed with fcntl). Descriptors
// duplicated from it (dup, fcntl F_DUPFD) share it, as they share the file
// in the kernel. Guarded by Lock().
struct Handle {
    int fd = -1;      // one of its descriptors
    int fdCount = 1;  // how many descriptors refer to it
    bool NonBlocking() const;
    bool signalled = false;                     // the eventfd currently holds a count
    bool closed = false;                        // the client closed it while a call on it was waiting
    uint32_t priority = V4L2_PRIORITY_DEFAULT;  // VIDIOC_S_PRIORITY
    std::shared_ptr<VideoNode> node;
};

class VideoNode {
public:
    VideoNode(Camera::State* cam, int number, bool capture);

    const std::string& path() const { return path_; }
    int number() const { return number_; }
    bool capture() const { return capture_; }

    // All below with Lock() held.
    int Ioctl(Handle* h, unsigned long request, void* arg, std::unique_lock<std::mutex>& lk);
    void Attach(Handle* h);
    // Detaches a closing descriptor; when it owned the buffers, streaming
    // stops and the buffers are released.
    void Detach(Handle* h, std::unique_lock<std::mutex>& lk);
    // The camera went away (unplug or removal): wake every waiter, make every
    // descriptor readable.
    void Gone();
    void Remove();  // the camera object is about to be destroyed
    void Retire();  // the camera was replugged: this node is gone for good
    bool gone() const;
    bool streaming() const { return streaming_; }
    bool open() const { return !handles_.empty(); }
    void SyncReady();
    // What poll() reports to `h` for the `asked` events (POLLIN | POLLRDNORM,
    // POLLERR, POLLHUP), as the V4L2 core and videobuf2 report it.
    short PollEvents(const Handle* h, short asked) const;

    // Producer side. Due() says whether a frame time has come; Produce
    // renders one frame (it drops the lock while drawing).
    Clock::time_point next() const { return next_; }
    void Produce(FrameRenderer& renderer, std::unique_lock<std::mutex>& lk);

    // Mapping bookkeeping: a client mmap of `offset` on this node.
    int MapTarget(size_t length, off_t offset, int* memfd, uint64_t* setId, size_t* index);

    std::condition_variable cv;  // waits for a done buffer or for `filling` to clear

private:
    int QueryCap(v4l2_capability* cap) const;
    uint32_t MaxPriority() const;
    int SetPriority(Handle* h, uint32_t priority);
    int EnumInput(v4l2_input* in) const;
    int ExtControls(unsigned long request, v4l2_ext_controls* c) const;
    int DequeueEvent(Handle* h, std::unique_lock<std::mutex>& lk);
    int EnumFmt(v4l2_fmtdesc* f) const;
    int EnumSizes(v4l2_frmsizeenum* f) const;
    int EnumIntervals(v4l2_frmivalenum* f) const;
    void FillFormat(v4l2_format* f) const;
    int SetFormat(Handle* h, v4l2_format* f, bool tryOnly);
    int GetParm(v4l2_streamparm* p) const;
    int SetParm(v4l2_streamparm* p) const;
    int ReqBufs(Handle* h, v4l2_requestbuffers* r, std::unique_lock<std::mutex>& lk);
    int QueryBuf(v4l2_buffer* b) const;
    int QBuf(Handle* h, v4l2_buffer* b);
    int DQBuf(Handle* h, v4l2_buffer* b, std::unique_lock<std::mutex>& lk);
    int StreamOn(Handle* h, const int* type);
    int StreamOff(Handle* h, const int* type, std::unique_lock<std::mutex>& lk);
    void FillBuffer(unsigned index, v4l2_buffer* b) const;
    void ReleaseBuffers(std::unique_lock<std::mutex>& lk);
    void StopStreaming();
    bool WantReady(const Handle* h) const;
    int VideoWidth() const;
    int VideoHeight() const;
    uint32_t SizeImage() const;

    Camera::State* cam_;  // valid while !removed_
    std::string path_;
    int number_;
    bool capture_;
    bool removed_ = false;
    bool retired_ = false;  // replaced by a node of a later plug-in
    std::vector<Handle*> handles_;
    Handle* owner_ = nullptr;  // the descriptor that owns the buffers
    std::unique_ptr<BufferSet> bufs_;
    bool streaming_ = false;
    bool filling_ = false;  // the producer is drawing into a buffer without the lock
    uint32_t sequence_ = 0;
    Clock::time_point next_;
};

}  // namespace detail

// Per-camera state. Fields guarded by detail::Lock() unless said otherwise.
struct Camera::State {
    explicit State(const CameraSetup& s, int ordinal);
    ~State();

    Camera api{this};
    CameraSetup setup;
    int ordinal;  // position in add order, fixed
    int busnum;
    int devnum;
    std::vector<std::shared_ptr<detail::VideoNode>> captures;
    std::shared_ptr<detail::VideoNode> metadata;
    // Nodes of earlier plug-ins, kept so that descriptors still open on them
    // answer ENODEV until the camera is destroyed.
    std::vector<std::shared_ptr<detail::VideoNode>> retired;
    std::vector<std::unique_ptr<detail::Port>> ports;  // immutable after construction
    Model model;
    std::vector<Request> requests;
    uint64_t produced = 0;
    uint64_t dropped = 0;
    uint64_t dequeued = 0;
    uint64_t dequeueRequests = 0;
    bool unplugged = false;
    detail::Clock::time_point stallUntil;
    unsigned shortBytes = 0;
    // Drawn when a frame first needs it (a camera that never streams costs
    // nothing to draw); dropped by ChangeSize and the hot-object switch, so
    // that the next frame draws it anew. Use SceneLocked().
    std::shared_ptr<const detail::Scene> scene;
    bool hotObject = true;  // the scene has its hot plate
    // The recording served instead of the scene (null when none, or when it
    // could not be read); fixed after construction, used by the producer
    // thread only.
    std::unique_ptr<detail::ReplaySource> replay;
    detail::Clock::time_point created;
    // Drift and shutter corrections; made with the setup.
    std::unique_ptr<detail::ShutterModel> shutter;

    // Threads.
    bool stopping = false;
    std::condition_variable producerCv;  // producer waits for the next frame time or a change
    std::thread producer;
    std::thread responder;
    int wakeFd = -1;  // eventfd that wakes the responder; fixed after construction

    // Owned by the producer thread.
    detail::FrameRenderer renderer;
    std::vector<uint8_t> lastPicture;  // the latest frame drawn, for a frozen shutter
    // Bytes to send unasked on the command port (InjectPortBytes).
    std::deque<std::vector<uint8_t>> injected;

    // With Lock() held.
    detail::Formula CurrentFormula() const;
    std::shared_ptr<const detail::Scene> SceneLocked();
    void SetHotObjectLocked(bool on);
    void FollowHotObjectPeriodLocked(detail::Clock::time_point now);
    // Runs `change` on the model; with a state file, loads the settings
    // first and saves them after (see Camera::model).
    void UpdateModelLocked(const std::function<void(Model&)>& change);
    void WakeResponder() const;
    void UnplugLocked();
    // The first moment after `after` at which the camera unplugs itself
    // (unplugAfter, unplugEvery); time_point::max() when none.
    detail::Clock::time_point NextUnplug(detail::Clock::time_point after) const;
    void ReplugLocked();  // Replug.cpp
    void Start();
    void Stop();  // joins the threads; call without the lock

private:
    struct Responder;  // the responder thread's own state (camera.cpp)
    void ProducerLoop();
    void ResponderLoop();
    // With Lock() held: the camera's own unplugs and replugs as the setup
    // schedules them; true while it is unplugged.
    bool FollowPlugScheduleLocked(Responder& r, detail::Clock::time_point now);
    // With Lock() held: every request frame received is recorded and
    // answered; the replies are scheduled, with their faults and delays.
    void AnswerRequestsLocked(Responder& r, detail::Clock::time_point now);
};

namespace detail {

// Every camera, in add order. Guarded by Lock().
std::vector<std::unique_ptr<Camera::State>>& Cameras();
// Number of the next video node (/dev/vivazuzoz-vcam/videoN). Guarded by Lock().
int NextVideoNumber();

// The virtual path prefix and node lookup (with Lock() held).
extern const char kNodePrefix[];
std::shared_ptr<VideoNode> FindNode(const char* path);

// Client descriptors. The flag table answers "is this fd ours?" without the
// lock, so that calls on ordinary descriptors stay cheap.
bool IsVirtualFd(int fd);
std::shared_ptr<Handle> FindHandle(int fd);  // with Lock() held

// Client mappings of buffers (address -> what it maps). Guarded by Lock().
struct Mapping {
    size_t length;
    std::weak_ptr<VideoNode> node;
    Camera::State* cam;
    uint64_t setId;  // BufferSet::id of the buffer mapped
    size_t index;    // and its index
};
std::map<uintptr_t, Mapping>& Mappings();
extern std::atomic<int> g_mappingCount;

// The real C library functions behind our interposers.
int RealClose(int fd);
void* RealMmap(void* addr, size_t len, int prot, int flags, int fd, off_t off);
int RealMunmap(void* addr, size_t len);

}  // namespace detail
}  // namespace vcam
