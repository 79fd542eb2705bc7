// VideoNode - a V4L2 capture (or metadata) node as the uvcvideo driver, the
// V4L2 core and videobuf2 present it: one Y16 format at the camera's size,
// one frame interval, one camera input, an empty set of controls, access
// priorities, and mmap streaming with the usual ordering rules and error
// codes.
#include "emulator.h"
#include "replay.h"

#include "vcam_bridge.h"

#include <linux/version.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <numeric>

namespace vcam {
namespace detail {

namespace {

constexpr unsigned kMaxBuffers = 32;
constexpr uint32_t kCaptureCaps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING | V4L2_CAP_EXT_PIX_FORMAT;
constexpr uint32_t kMetaCaps = V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING | V4L2_CAP_EXT_PIX_FORMAT;

std::atomic<uint64_t> g_bufferSetIds{1};

size_t PageAlign(size_t n)
{
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return (n + page - 1) / page * page;
}

// The frame interval for a rate: 1/fps for whole rates, else thousandths.
v4l2_fract Interval(double fps)
{
    v4l2_fract f;
    if (fps <= 0)
        fps = 1;
    if (std::fabs(fps - std::round(fps)) < 1e-9) {
        f.numerator = 1;
        f.denominator = static_cast<uint32_t>(std::lround(fps));
    } else {
        const uint32_t den = static_cast<uint32_t>(std::lround(fps * 1000));
        const uint32_t g = std::gcd(1000u, den);
        f.numerator = 1000 / g;
        f.denominator = den / g;
    }
    return f;
}

void SetTimestamp(timeval* tv)
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    tv->tv_sec = ts.tv_sec;
    tv->tv_usec = ts.tv_nsec / 1000;
}

}  // namespace

BufferSet::BufferSet(unsigned count, size_t len)
    : id(g_bufferSetIds.fetch_add(1)), length(len), stride(PageAlign(len)), bufs(count)
{
    const size_t total = stride * count;
    memfd = memfd_create("vivazuzoz-vcam-buffers", MFD_CLOEXEC);
    if (memfd < 0)
        return;
    if (ftruncate(memfd, static_cast<off_t>(total)) != 0)
        return;
    void* p = RealMmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_SHARED, memfd, 0);
    if (p != MAP_FAILED)
        base = static_cast<uint8_t*>(p);
}

BufferSet::~BufferSet()
{
    if (base)
        RealMunmap(base, stride * bufs.size());
    if (memfd >= 0)
        RealClose(memfd);
}

VideoNode::VideoNode(Camera::State* cam, int number, bool capture)
    : cam_(cam), path_(std::string(kNodePrefix) + "video" + std::to_string(number)), number_(number), capture_(capture)
{
}

bool VideoNode::gone() const
{
    return removed_ || retired_ || cam_->unplugged;
}

int VideoNode::VideoWidth() const
{
    return cam_->setup.width * (cam_->setup.withTemp ? 2 : 1);
}
int VideoNode::VideoHeight() const
{
    return cam_->setup.height;
}
uint32_t VideoNode::SizeImage() const
{
    return static_cast<uint32_t>(FrameBytes(cam_->setup.width, cam_->setup.height, cam_->setup.withTemp));
}

void VideoNode::Attach(Handle* h)
{
    handles_.push_back(h);
    SyncReady();
}

void VideoNode::Detach(Handle* h, std::unique_lock<std::mutex>& lk)
{
    handles_.erase(std::remove(handles_.begin(), handles_.end(), h), handles_.end());
    if (owner_ == h) {
        StopStreaming();
        ReleaseBuffers(lk);
        owner_ = nullptr;
    }
    cv.notify_all();
}

void VideoNode::Gone()
{
    cv.notify_all();
    SyncReady();
}

void VideoNode::Remove()
{
    removed_ = true;
    streaming_ = false;
    Gone();
}

bool VideoNode::WantReady(const Handle* h) const
{
    if (gone())
        return true;
    // videobuf2 reports POLLERR (which select counts as readable) to a
    // descriptor that is not streaming, and to one with nothing queued.
    if (h != owner_ || !streaming_ || !bufs_)
        return true;
    return !bufs_->done.empty() || (bufs_->incoming.empty() && !filling_);
}

void VideoNode::SyncReady()
{
    for (Handle* h : handles_) {
        const bool want = WantReady(h);
        // The real read and write: the client's are refused on a node.
        if (want && !h->signalled) {
            const uint64_t one = 1;
            if (vcam_real_write(h->fd, &one, sizeof one) == sizeof one)
                h->signalled = true;
        } else if (!want && h->signalled) {
            uint64_t count;
            if (vcam_real_read(h->fd, &count, sizeof count) == sizeof count)
                h->signalled = false;
        }
    }
}

short VideoNode::PollEvents(const Handle* h, short asked) const
{
    // A node whose device is gone reports an error and a hang-up.
    if (gone())
        return static_cast<short>(POLLERR | POLLHUP | (asked & POLLPRI));
    // Buffers are watched only when input is asked (and no events exist).
    if (!(asked & (POLLIN | POLLRDNORM)) || !WantReady(h))
        return 0;
    if (h == owner_ && streaming_ && bufs_ && !bufs_->done.empty())
        return POLLIN | POLLRDNORM;
    return POLLERR;
}

namespace {

// Requests that change what the device does: refused with EBUSY to a
// descriptor below the highest priority open on the node.
bool NeedsPriority(unsigned long request)
{
    switch (request) {
    case VIDIOC_S_FMT:
    case VIDIOC_S_INPUT:
    case VIDIOC_S_PARM:
    case VIDIOC_S_CTRL:
    case VIDIOC_S_EXT_CTRLS:
    case VIDIOC_REQBUFS:
    case VIDIOC_STREAMON:
    case VIDIOC_STREAMOFF:
    case VIDIOC_S_PRIORITY:
        return true;
    default:
        return false;
    }
}

}  // namespace

uint32_t VideoNode::MaxPriority() const
{
    uint32_t max = V4L2_PRIORITY_UNSET;
    for (const Handle* o : handles_)
        max = std::max(max, o->priority);
    return max;
}

int VideoNode::SetPriority(Handle* h, uint32_t priority)
{
    if (priority < V4L2_PRIORITY_BACKGROUND || priority > V4L2_PRIORITY_RECORD)
        return -EINVAL;
    h->priority = priority;
    return 0;
}

namespace {

// The requests a node answers; the V4L2 core refuses all others with ENOTTY
// before it looks at their argument.
bool Known(unsigned long request)
{
    switch (request) {
    case VIDIOC_QUERYCAP:
    case VIDIOC_G_PRIORITY:
    case VIDIOC_S_PRIORITY:
    case VIDIOC_ENUMINPUT:
    case VIDIOC_G_INPUT:
    case VIDIOC_S_INPUT:
    case VIDIOC_QUERYCTRL:
    case VIDIOC_QUERY_EXT_CTRL:
    case VIDIOC_QUERYMENU:
    case VIDIOC_G_CTRL:
    case VIDIOC_S_CTRL:
    case VIDIOC_G_EXT_CTRLS:
    case VIDIOC_S_EXT_CTRLS:
    case VIDIOC_TRY_EXT_CTRLS:
    case VIDIOC_SUBSCRIBE_EVENT:
    case VIDIOC_UNSUBSCRIBE_EVENT:
    case VIDIOC_DQEVENT:
    case VIDIOC_ENUM_FMT:
    case VIDIOC_G_FMT:
    case VIDIOC_S_FMT:
    case VIDIOC_TRY_FMT:
    case VIDIOC_ENUM_FRAMESIZES:
    case VIDIOC_ENUM_FRAMEINTERVALS:
    case VIDIOC_G_PARM:
    case VIDIOC_S_PARM:
    case VIDIOC_REQBUFS:
    case VIDIOC_QUERYBUF:
    case VIDIOC_QBUF:
    case VIDIOC_DQBUF:
    case VIDIOC_STREAMON:
    case VIDIOC_STREAMOFF:
        return true;
    default:
        return false;
    }
}

}  // namespace

int VideoNode::Ioctl(Handle* h, unsigned long request, void* arg, std::unique_lock<std::mutex>& lk)
{
    if (gone())
        return -ENODEV;
    if (!Known(request))
        return -ENOTTY;
    if (!arg)
        return -EFAULT;
    if (request == VIDIOC_QUERYCAP)
        return QueryCap(static_cast<v4l2_capability*>(arg));
    if (request == VIDIOC_G_PRIORITY) {
        *static_cast<uint32_t*>(arg) = MaxPriority();
        return 0;
    }
    if (NeedsPriority(request) && h->priority < MaxPriority())
        return -EBUSY;
    if (request == VIDIOC_S_PRIORITY)
        return SetPriority(h, *static_cast<const uint32_t*>(arg));
    // Both nodes belong to the camera's one input.
    switch (request) {
    case VIDIOC_ENUMINPUT:
        return EnumInput(static_cast<v4l2_input*>(arg));
    case VIDIOC_G_INPUT:
        *static_cast<int*>(arg) = 0;
        return 0;
    case VIDIOC_S_INPUT:
        return *static_cast<const int*>(arg) == 0 ? 0 : -EINVAL;
    default:
        break;
    }
    if (!capture_) {
        // The metadata node takes no video capture requests.
        switch (request) {
        case VIDIOC_ENUM_FMT:
        case VIDIOC_G_FMT:
        case VIDIOC_S_FMT:
        case VIDIOC_TRY_FMT:
        case VIDIOC_REQBUFS:
        case VIDIOC_QUERYBUF:
        case VIDIOC_QBUF:
        case VIDIOC_DQBUF:
        case VIDIOC_STREAMON:
        case VIDIOC_STREAMOFF:
        case VIDIOC_G_PARM:
        case VIDIOC_S_PARM:
        case VIDIOC_ENUM_FRAMESIZES:
        case VIDIOC_ENUM_FRAMEINTERVALS:
            return -EINVAL;
        default:
            return -ENOTTY;
        }
    }
    switch (request) {
    // The camera has no V4L2 controls (its settings go through the command
    // port): every control asked about is unknown.
    case VIDIOC_QUERYCTRL:
    case VIDIOC_QUERY_EXT_CTRL:
    case VIDIOC_QUERYMENU:
    case VIDIOC_G_CTRL:
    case VIDIOC_S_CTRL:
        return -EINVAL;
    case VIDIOC_G_EXT_CTRLS:
    case VIDIOC_S_EXT_CTRLS:
    case VIDIOC_TRY_EXT_CTRLS:
        return ExtControls(request, static_cast<v4l2_ext_controls*>(arg));
    // Events: only control events exist, and there is no control to watch.
    case VIDIOC_SUBSCRIBE_EVENT:
        return -EINVAL;
    case VIDIOC_UNSUBSCRIBE_EVENT:
        return 0;
    case VIDIOC_DQEVENT:
        return DequeueEvent(h, lk);
    case VIDIOC_ENUM_FMT:
        return EnumFmt(static_cast<v4l2_fmtdesc*>(arg));
    case VIDIOC_ENUM_FRAMESIZES:
        return EnumSizes(static_cast<v4l2_frmsizeenum*>(arg));
    case VIDIOC_ENUM_FRAMEINTERVALS:
        return EnumIntervals(static_cast<v4l2_frmivalenum*>(arg));
    case VIDIOC_G_FMT: {
        auto* f = static_cast<v4l2_format*>(arg);
        if (f->type != V4L2_BUF_TYPE_VIDEO_CAPTURE)
            return -EINVAL;
        FillFormat(f);
        return 0;
    }
    case VIDIOC_S_FMT:
        return SetFormat(h, static_cast<v4l2_format*>(arg), false);
    case VIDIOC_TRY_FMT:
        return SetFormat(h, static_cast<v4l2_format*>(arg), true);
    case VIDIOC_G_PARM:
        return GetParm(static_cast<v4l2_streamparm*>(arg));
    case VIDIOC_S_PARM:
        return SetParm(static_cast<v4l2_streamparm*>(arg));
    case VIDIOC_REQBUFS:
        return ReqBufs(h, static_cast<v4l2_requestbuffers*>(arg), lk);
    case VIDIOC_QUERYBUF:
        return QueryBuf(static_cast<v4l2_buffer*>(arg));
    case VIDIOC_QBUF:
        return QBuf(h, static_cast<v4l2_buffer*>(arg));
    case VIDIOC_DQBUF:
        return DQBuf(h, static_cast<v4l2_buffer*>(arg), lk);
    case VIDIOC_STREAMON:
        return StreamOn(h, static_cast<const int*>(arg));
    case VIDIOC_STREAMOFF:
        return StreamOff(h, static_cast<const int*>(arg), lk);
    default:
        return -ENOTTY;
    }
}

int VideoNode::QueryCap(v4l2_capability* cap) const
{
    if (capture_ && cam_->setup.querycapErrno)
        return -cam_->setup.querycapErrno;
    std::memset(cap, 0, sizeof *cap);
    std::snprintf(reinterpret_cast<char*>(cap->driver), sizeof cap->driver, "uvcvideo");
    const std::string card = cam_->setup.hasName ? cam_->setup.name : std::string("UVC Camera");
    std::snprintf(reinterpret_cast<char*>(cap->card), sizeof cap->card, "%s", card.c_str());
    std::snprintf(reinterpret_cast<char*>(cap->bus_info), sizeof cap->bus_info, "usb-vivazuzoz-vcam-%d.%d",
                  cam_->busnum, cam_->devnum);
    cap->version = KERNEL_VERSION(6, 1, 0);
    cap->capabilities = kCaptureCaps | (cam_->metadata ? kMetaCaps : 0) | V4L2_CAP_DEVICE_CAPS;
    cap->device_caps = capture_ ? kCaptureCaps : kMetaCaps;
    return 0;
}

int VideoNode::EnumInput(v4l2_input* in) const
{
    if (in->index != 0)
        return -EINVAL;
    std::memset(in, 0, sizeof *in);
    // Named after the camera's input terminal, as the UVC driver names it.
    std::snprintf(reinterpret_cast<char*>(in->name), sizeof in->name, "Camera 1");
    in->type = V4L2_INPUT_TYPE_CAMERA;
    return 0;
}

int VideoNode::ExtControls(unsigned long request, v4l2_ext_controls* c) const
{
    const bool changes = request != VIDIOC_G_EXT_CTRLS;
    c->reserved[0] = 0;
    switch (c->which) {
    case V4L2_CTRL_WHICH_DEF_VAL:
        if (changes) {  // defaults cannot be set
            c->error_idx = c->count;
            return -EINVAL;
        }
        break;
    case V4L2_CTRL_WHICH_CUR_VAL:
        break;
    case V4L2_CTRL_WHICH_REQUEST_VAL:  // no request support
        c->error_idx = c->count;
        return -EINVAL;
    default:
        // A control class: every control must be of it.
        for (uint32_t i = 0; i < c->count; ++i) {
            if (V4L2_CTRL_ID2WHICH(c->controls[i].id) != c->which) {
                c->error_idx = request == VIDIOC_TRY_EXT_CTRLS ? i : c->count;
                return -EINVAL;
            }
        }
    }
    if (c->count == 0)
        return 0;
    // The first control is unknown: a failed validation, which names the
    // control only when trying.
    c->error_idx = request == VIDIOC_TRY_EXT_CTRLS ? 0 : c->count;
    return -EINVAL;
}

int VideoNode::DequeueEvent(Handle* h, std::unique_lock<std::mutex>& lk)
{
    // Nothing can be subscribed, so nothing ever comes: a blocking call waits
    // until the descriptor or the device goes.
    if (h->NonBlocking())
        return -ENOENT;
    std::shared_ptr<VideoNode> self = h->node;
    cv.wait(lk, [&] { return gone() || h->closed; });
    return gone() ? -ENODEV : -EBADF;
}

int VideoNode::EnumFmt(v4l2_fmtdesc* f) const
{
    if (f->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || f->index != 0)
        return -EINVAL;
    const uint32_t index = f->index;
    const uint32_t type = f->type;
    std::memset(f, 0, sizeof *f);
    f->index = index;
    f->type = type;
    f->pixelformat = V4L2_PIX_FMT_Y16;
    std::snprintf(reinterpret_cast<char*>(f->description), sizeof f->description, "16-bit Greyscale");
    return 0;
}

int VideoNode::EnumSizes(v4l2_frmsizeenum* f) const
{
    if (f->pixel_format != V4L2_PIX_FMT_Y16 || f->index != 0)
        return -EINVAL;
    std::memset(f->reserved, 0, sizeof f->reserved);
    f->type = V4L2_FRMSIZE_TYPE_DISCRETE;
    f->discrete.width = static_cast<uint32_t>(VideoWidth());
    f->discrete.height = static_cast<uint32_t>(VideoHeight());
    return 0;
}

int VideoNode::EnumIntervals(v4l2_frmivalenum* f) const
{
    if (f->pixel_format != V4L2_PIX_FMT_Y16 || f->index != 0 || f->width != static_cast<uint32_t>(VideoWidth()) ||
        f->height != static_cast<uint32_t>(VideoHeight()))
        return -EINVAL;
    std::memset(f->reserved, 0, sizeof f->reserved);
    f->type = V4L2_FRMIVAL_TYPE_DISCRETE;
    f->discrete = Interval(cam_->setup.fps);
    return 0;
}

void VideoNode::FillFormat(v4l2_format* f) const
{
    std::memset(&f->fmt, 0, sizeof f->fmt);
    v4l2_pix_format& p = f->fmt.pix;
    p.width = static_cast<uint32_t>(VideoWidth());
    p.height = static_cast<uint32_t>(VideoHeight());
    p.pixelformat = V4L2_PIX_FMT_Y16;
    p.field = V4L2_FIELD_NONE;
    p.bytesperline = p.width * 2;
    p.sizeimage = SizeImage();
    p.colorspace = V4L2_COLORSPACE_SRGB;
    // The V4L2 core marks the extended fields (all left at their defaults) valid.
    p.priv = V4L2_PIX_FMT_PRIV_MAGIC;
}

int VideoNode::SetFormat(Handle* h, v4l2_format* f, bool tryOnly)
{
    if (f->type != V4L2_BUF_TYPE_VIDEO_CAPTURE)
        return -EINVAL;
    if (!tryOnly) {
        if (cam_->setup.sfmtErrno)
            return -cam_->setup.sfmtErrno;
        if (streaming_ || (bufs_ && owner_ != h))
            return -EBUSY;
    }
    // One format and one size: whatever is asked is adjusted to them.
    FillFormat(f);
    return 0;
}

int VideoNode::GetParm(v4l2_streamparm* p) const
{
    if (p->type != V4L2_BUF_TYPE_VIDEO_CAPTURE)
        return -EINVAL;
    std::memset(&p->parm, 0, sizeof p->parm);
    p->parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
    p->parm.capture.timeperframe = Interval(cam_->setup.fps);
    if (cam_->setup.intervalNumeratorZero)
        p->parm.capture.timeperframe.numerator = 0;
    return 0;
}

int VideoNode::SetParm(v4l2_streamparm* p) const
{
    if (p->type != V4L2_BUF_TYPE_VIDEO_CAPTURE)
        return -EINVAL;
    if (streaming_)
        return -EBUSY;
    // The one interval the camera has is the nearest to any request.
    std::memset(&p->parm, 0, sizeof p->parm);
    p->parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
    p->parm.capture.timeperframe = Interval(cam_->setup.fps);
    return 0;
}

void VideoNode::ReleaseBuffers(std::unique_lock<std::mutex>& lk)
{
    // The producer may be drawing into one of them right now.
    cv.wait(lk, [this] { return !filling_; });
    bufs_.reset();  // client mappings stay valid: they hold the memfd
}

int VideoNode::ReqBufs(Handle* h, v4l2_requestbuffers* r, std::unique_lock<std::mutex>& lk)
{
    if (r->type != V4L2_BUF_TYPE_VIDEO_CAPTURE)
        return -EINVAL;
    if (owner_ && owner_ != h)
        return -EBUSY;
    // videobuf2 tells what the queue supports, also when refusing a memory type.
    r->flags = 0;
    std::memset(r->reserved, 0, sizeof r->reserved);
    r->capabilities = V4L2_BUF_CAP_SUPPORTS_MMAP | V4L2_BUF_CAP_SUPPORTS_ORPHANED_BUFS;
    if (r->memory != V4L2_MEMORY_MMAP)
        return -EINVAL;
    if (streaming_)
        return -EBUSY;
    ReleaseBuffers(lk);
    if (h->closed)
        return -EBADF;
    if (r->count == 0) {
        owner_ = nullptr;
        SyncReady();
        return 0;
    }
    unsigned granted = cam_->setup.buffersGranted ? cam_->setup.buffersGranted : r->count;
    granted = std::min(granted, kMaxBuffers);
    auto set = std::make_unique<BufferSet>(granted, SizeImage());
    if (!set->ok())
        return -ENOMEM;
    bufs_ = std::move(set);
    owner_ = h;
    r->count = granted;
    SyncReady();
    return 0;
}

void VideoNode::FillBuffer(unsigned index, v4l2_buffer* b) const
{
    const BufferSet::Buf& buf = bufs_->bufs[index];
    const uint32_t type = b->type;
    std::memset(b, 0, sizeof *b);
    b->index = index;
    b->type = type;
    b->memory = V4L2_MEMORY_MMAP;
    b->length = static_cast<uint32_t>(bufs_->length);
    b->m.offset = static_cast<uint32_t>(bufs_->stride * index);
    b->bytesused = buf.bytesused;
    b->sequence = buf.sequence;
    b->timestamp = buf.timestamp;
    b->field = V4L2_FIELD_NONE;
    b->flags = V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC | V4L2_BUF_FLAG_TSTAMP_SRC_SOE;
    if (buf.queued)
        b->flags |= V4L2_BUF_FLAG_QUEUED;
    if (buf.done)
        b->flags |= V4L2_BUF_FLAG_DONE;
    for (const auto& m : Mappings()) {
        if (m.second.setId == bufs_->id && m.second.index == index) {
            b->flags |= V4L2_BUF_FLAG_MAPPED;
            break;
        }
    }
}

int VideoNode::QueryBuf(v4l2_buffer* b) const
{
    if (b->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || !bufs_ || b->index >= bufs_->bufs.size())
        return -EINVAL;
    FillBuffer(b->index, b);
    return 0;
}

int VideoNode::QBuf(Handle* h, v4l2_buffer* b)
{
    if (b->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || b->memory != V4L2_MEMORY_MMAP)
        return -EINVAL;
    if (!bufs_)
        return -EINVAL;
    if (owner_ != h)
        return -EBUSY;
    if (b->index >= bufs_->bufs.size())
        return -EINVAL;
    BufferSet::Buf& buf = bufs_->bufs[b->index];
    if (buf.queued || buf.done)
        return -EINVAL;
    buf.queued = true;
    bufs_->incoming.push_back(b->index);
    FillBuffer(b->index, b);
    SyncReady();
    return 0;
}

int VideoNode::DQBuf(Handle* h, v4l2_buffer* b, std::unique_lock<std::mutex>& lk)
{
    cam_->dequeueRequests++;
    if (b->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || b->memory != V4L2_MEMORY_MMAP)
        return -EINVAL;
    if (!bufs_)
        return -EINVAL;
    if (owner_ != h)
        return -EBUSY;
    if (!streaming_)
        return -EINVAL;
    if (bufs_->done.empty()) {
        if (h->NonBlocking())
            return -EAGAIN;
        std::shared_ptr<VideoNode> self = h->node;  // keeps this node alive across the wait
        cv.wait(lk, [&] { return gone() || !streaming_ || !bufs_ || !bufs_->done.empty(); });
        if (gone())
            return -ENODEV;
        if (!streaming_ || !bufs_)
            return -EINVAL;
    }
    const unsigned index = bufs_->done.front();
    bufs_->done.pop_front();
    bufs_->bufs[index].done = false;
    FillBuffer(index, b);
    cam_->dequeued++;
    SyncReady();
    return 0;
}

int VideoNode::StreamOn(Handle* h, const int* type)
{
    if (*type != V4L2_BUF_TYPE_VIDEO_CAPTURE)
        return -EINVAL;
    if (!bufs_)
        return -EINVAL;
    if (owner_ != h)
        return -EBUSY;
    if (streaming_)
        return 0;
    streaming_ = true;
    sequence_ = 0;
    next_ = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                               std::chrono::duration<double>(1.0 / std::max(cam_->setup.fps, 0.001)));
    cam_->producerCv.notify_all();
    SyncReady();
    return 0;
}

void VideoNode::StopStreaming()
{
    streaming_ = false;
    if (bufs_) {
        // Every buffer comes back to the client, dequeued.
        for (auto& buf : bufs_->bufs)
            buf.queued = buf.done = false;
        bufs_->incoming.clear();
        bufs_->done.clear();
    }
    cv.notify_all();
    SyncReady();
}

int VideoNode::StreamOff(Handle* h, const int* type, std::unique_lock<std::mutex>& lk)
{
    if (*type != V4L2_BUF_TYPE_VIDEO_CAPTURE)
        return -EINVAL;
    if (owner_ && owner_ != h)
        return -EBUSY;
    // A buffer being drawn must not come back to the client half written.
    cv.wait(lk, [this] { return !filling_; });
    StopStreaming();
    return 0;
}

void VideoNode::Produce(FrameRenderer& renderer, std::unique_lock<std::mutex>& lk)
{
    const auto period = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(1.0 / std::max(cam_->setup.fps, 0.001)));
    const auto now = Clock::now();
    next_ += period;
    if (next_ < now)
        next_ = now + period;  // fell behind: no burst of frames
    const uint32_t seq = sequence_++;
    if (now < cam_->stallUntil)
        return;
    if (!bufs_ || bufs_->incoming.empty()) {
        cam_->dropped++;
        return;
    }
    const unsigned index = bufs_->incoming.front();
    bufs_->incoming.pop_front();
    uint8_t* dst = bufs_->base + bufs_->stride * index;
    const size_t cap = bufs_->length;
    std::shared_ptr<const Scene> scene = cam_->SceneLocked();
    const bool withTemp = cam_->setup.withTemp;
    const Formula formula = cam_->CurrentFormula();
    const double fps = cam_->setup.fps;
    const unsigned shortBytes = cam_->shortBytes;
    const bool drawLook = cam_->shutter->active();
    const FrameLook look = cam_->shutter->Look(now);
    filling_ = true;
    lk.unlock();
    const bool replaying = !cam_->setup.replayFile.empty();
    size_t bytes = !replaying     ? renderer.Render(*scene, withTemp, formula, seq, fps, dst, cap)
                   : cam_->replay ? cam_->replay->Render(dst, cap)
                                  : 0;
    if (drawLook && !replaying)
        ApplyLook(look, scene->width(), scene->height(), withTemp, formula, dst, bytes, cam_->lastPicture);
    lk.lock();
    filling_ = false;
    cv.notify_all();
    if (!streaming_ || !bufs_ || gone())
        return;
    if (bytes == 0) {  // the recording has ended: the buffer stays queued
        bufs_->incoming.push_front(index);
        return;
    }
    if (shortBytes)
        bytes = std::min<size_t>(bytes, shortBytes);
    BufferSet::Buf& buf = bufs_->bufs[index];
    buf.queued = false;
    buf.done = true;
    buf.bytesused = static_cast<uint32_t>(bytes);
    buf.sequence = seq;
    SetTimestamp(&buf.timestamp);
    bufs_->done.push_back(index);
    cam_->produced++;
    SyncReady();
}

int VideoNode::MapTarget(size_t length, off_t offset, int* memfd, uint64_t* setId, size_t* indexOut)
{
    if (gone())
        return -ENODEV;
    if (!bufs_ || offset < 0 || static_cast<size_t>(offset) % bufs_->stride != 0)
        return -EINVAL;
    const size_t index = static_cast<size_t>(offset) / bufs_->stride;
    if (index >= bufs_->bufs.size() || length == 0 || length > bufs_->stride)
        return -EINVAL;
    *memfd = bufs_->memfd;
    *setId = bufs_->id;
    *indexOut = index;
    return 0;
}

}  // namespace detail
}  // namespace vcam
