// The virtual camera seen the way a plain program sees hardware: libudev and
// libuvc enumeration, V4L2 ioctls, mmap and select on the capture node, and
// raw bytes on the command port's tty.
#include <dirent.h>
#include <fcntl.h>
#include <libudev.h>
#include <libuvc/libuvc.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../support/eventually.h"
#include "vcam/VirtualCamera.h"

namespace {

struct Cleanup {
    ~Cleanup() { vcam::RemoveAll(); }
};

int Xioctl(int fd, unsigned long req, void* arg)
{
    int r;
    do
        r = ioctl(fd, req, arg);
    while (r < 0 && errno == EINTR);
    return r;
}

// Errno of a failing ioctl, 0 when it succeeds.
int IoctlErr(int fd, unsigned long req, void* arg)
{
    return Xioctl(fd, req, arg) == 0 ? 0 : errno;
}

bool SelectReadable(int fd, int ms)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(fd, &set);
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    return select(fd + 1, &set, nullptr, nullptr, &tv) == 1 && FD_ISSET(fd, &set);
}

struct UsbLoc {
    int bus;
    int dev;
};

// devnode -> USB parent location, for one subsystem.
std::map<std::string, UsbLoc> UdevNodes(udev* u, const char* subsystem)
{
    std::map<std::string, UsbLoc> out;
    udev_enumerate* e = udev_enumerate_new(u);
    udev_enumerate_add_match_subsystem(e, subsystem);
    udev_enumerate_scan_devices(e);
    for (udev_list_entry* l = udev_enumerate_get_list_entry(e); l; l = udev_list_entry_get_next(l)) {
        udev_device* d = udev_device_new_from_syspath(u, udev_list_entry_get_name(l));
        if (!d)
            continue;
        udev_device* usb = udev_device_get_parent_with_subsystem_devtype(d, "usb", "usb_device");
        const char* node = udev_device_get_devnode(d);
        if (usb && node) {
            const char* bus = udev_device_get_sysattr_value(usb, "busnum");
            const char* dev = udev_device_get_sysattr_value(usb, "devnum");
            out[node] = UsbLoc{bus ? std::atoi(bus) : -1, dev ? std::atoi(dev) : -1};
        }
        udev_device_unref(d);
    }
    udev_enumerate_unref(e);
    return out;
}

TEST(VcamDiscovery, UdevAndUvcAgreeOnTwoCameras)
{
    Cleanup cleanup;
    vcam::CameraSetup setup;
    vcam::Camera& a = vcam::AddCamera(setup);
    setup.name = "Second";
    vcam::Camera& b = vcam::AddCamera(setup);
    ASSERT_FALSE(a.busnum() == b.busnum() && a.devnum() == b.devnum());

    udev* u = udev_new();
    ASSERT_NE(u, nullptr);
    const auto video = UdevNodes(u, "video4linux");
    const auto tty = UdevNodes(u, "tty");
    udev_unref(u);
    for (vcam::Camera* c : {&a, &b}) {
        SCOPED_TRACE(c->videoPath());
        auto v = video.find(c->videoPath());
        ASSERT_NE(v, video.end());
        EXPECT_EQ(v->second.bus, c->busnum());
        EXPECT_EQ(v->second.dev, c->devnum());
        auto t = tty.find(c->serialPath());
        ASSERT_NE(t, tty.end());
        EXPECT_EQ(t->second.bus, c->busnum());
        EXPECT_EQ(t->second.dev, c->devnum());
        // The node udev names is one the C library opens.
        const int fd = open(c->videoPath().c_str(), O_RDWR);
        ASSERT_GE(fd, 0) << strerror(errno);
        close(fd);
    }

    uvc_context_t* ctx = nullptr;
    ASSERT_EQ(uvc_init(&ctx, nullptr), UVC_SUCCESS);
    uvc_device_t** list = nullptr;
    ASSERT_EQ(uvc_get_device_list(ctx, &list), UVC_SUCCESS);
    std::vector<std::pair<int, int>> locs;
    std::vector<std::string> names;
    for (int i = 0; list[i]; ++i) {
        locs.emplace_back(uvc_get_bus_number(list[i]), uvc_get_device_address(list[i]));
        uvc_device_descriptor_t* desc = nullptr;
        ASSERT_EQ(uvc_get_device_descriptor(list[i], &desc), UVC_SUCCESS);
        names.push_back(desc->product ? desc->product : "");
        uvc_free_device_descriptor(desc);
    }
    uvc_free_device_list(list, 1);
    uvc_exit(ctx);
    ASSERT_EQ(locs.size(), 2u);
    EXPECT_EQ(locs[0], std::make_pair(a.busnum(), a.devnum()));
    EXPECT_EQ(locs[1], std::make_pair(b.busnum(), b.devnum()));
    EXPECT_EQ(names[0], "Virtual Thermal Camera");
    EXPECT_EQ(names[1], "Second");
}

// A capture descriptor with `count` mmapped buffers, queued and streaming.
struct Stream {
    int fd = -1;
    std::vector<void*> maps;
    std::vector<size_t> lengths;
    uint32_t sizeimage = 0;

    ~Stream()
    {
        for (size_t i = 0; i < maps.size(); ++i)
            munmap(maps[i], lengths[i]);
        if (fd >= 0)
            close(fd);
    }

    // Requests `count` buffers; returns the count granted (0 on failure).
    unsigned Setup(const std::string& path, unsigned count, int flags = 0)
    {
        fd = open(path.c_str(), O_RDWR | flags);
        if (fd < 0)
            return 0;
        v4l2_format f{};
        f.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (Xioctl(fd, VIDIOC_G_FMT, &f) != 0)
            return 0;
        sizeimage = f.fmt.pix.sizeimage;
        v4l2_requestbuffers r{};
        r.count = count;
        r.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        r.memory = V4L2_MEMORY_MMAP;
        if (Xioctl(fd, VIDIOC_REQBUFS, &r) != 0)
            return 0;
        for (unsigned i = 0; i < r.count; ++i) {
            v4l2_buffer b{};
            b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            b.memory = V4L2_MEMORY_MMAP;
            b.index = i;
            if (Xioctl(fd, VIDIOC_QUERYBUF, &b) != 0)
                return 0;
            void* p = mmap(nullptr, b.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, b.m.offset);
            if (p == MAP_FAILED)
                return 0;
            maps.push_back(p);
            lengths.push_back(b.length);
        }
        return r.count;
    }

    bool QueueAll()
    {
        for (unsigned i = 0; i < maps.size(); ++i)
            if (!Queue(i))
                return false;
        return true;
    }

    bool Queue(unsigned i)
    {
        v4l2_buffer b{};
        b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        b.memory = V4L2_MEMORY_MMAP;
        b.index = i;
        return Xioctl(fd, VIDIOC_QBUF, &b) == 0;
    }

    bool On()
    {
        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        return Xioctl(fd, VIDIOC_STREAMON, &type) == 0;
    }

    // Waits for and dequeues one frame; errno of the DQBUF otherwise.
    int Next(v4l2_buffer* b)
    {
        if (!SelectReadable(fd, 5000))
            return ETIMEDOUT;
        std::memset(b, 0, sizeof *b);
        b->type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        b->memory = V4L2_MEMORY_MMAP;
        return IoctlErr(fd, VIDIOC_DQBUF, b);
    }
};

double Seconds(const timeval& tv)
{
    return tv.tv_sec + tv.tv_usec / 1e6;
}

TEST(VcamCapture, FollowsTheV4l2Sequence)
{
    Cleanup cleanup;
    vcam::CameraSetup setup;
    setup.fps = 25.0;
    vcam::Camera& cam = vcam::AddCamera(setup);

    const int fd = open(cam.videoPath().c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    v4l2_capability cap{};
    ASSERT_EQ(IoctlErr(fd, VIDIOC_QUERYCAP, &cap), 0);
    EXPECT_TRUE(cap.capabilities & V4L2_CAP_DEVICE_CAPS);
    EXPECT_TRUE(cap.device_caps & V4L2_CAP_VIDEO_CAPTURE);
    EXPECT_TRUE(cap.device_caps & V4L2_CAP_STREAMING);
    v4l2_format f{};
    f.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    ASSERT_EQ(IoctlErr(fd, VIDIOC_G_FMT, &f), 0);
    EXPECT_EQ(f.fmt.pix.pixelformat, static_cast<uint32_t>(V4L2_PIX_FMT_Y16));
    EXPECT_EQ(f.fmt.pix.width, 2u * 256);
    EXPECT_EQ(f.fmt.pix.height, 192u);
    EXPECT_GE(f.fmt.pix.sizeimage, f.fmt.pix.width * f.fmt.pix.height * 2);
    // No buffers yet: queueing is refused.
    v4l2_buffer early{};
    early.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    early.memory = V4L2_MEMORY_MMAP;
    EXPECT_EQ(IoctlErr(fd, VIDIOC_QBUF, &early), EINVAL);
    close(fd);

    {
        // Streaming with nothing queued: a non-blocking dequeue has nothing to give.
        Stream s;
        ASSERT_EQ(s.Setup(cam.videoPath(), 2, O_NONBLOCK), 2u);
        ASSERT_TRUE(s.On());
        v4l2_buffer b{};
        b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        b.memory = V4L2_MEMORY_MMAP;
        EXPECT_EQ(IoctlErr(s.fd, VIDIOC_DQBUF, &b), EAGAIN);
    }

    Stream s;
    ASSERT_EQ(s.Setup(cam.videoPath(), 4), 4u);
    EXPECT_EQ(cam.buffersMapped(), 4u);
    ASSERT_TRUE(s.QueueAll());
    ASSERT_TRUE(s.On());
    EXPECT_TRUE(cam.streaming());
    std::vector<double> stamps;
    for (int i = 0; i < 6; ++i) {
        v4l2_buffer b;
        ASSERT_EQ(s.Next(&b), 0) << "frame " << i;
        EXPECT_EQ(b.bytesused, s.sizeimage);
        ASSERT_LT(b.index, s.maps.size());
        const auto* p = static_cast<const uint8_t*>(s.maps[b.index]);
        size_t nonzero = 0;
        for (size_t k = 0; k < b.bytesused; ++k)
            nonzero += p[k] != 0;
        EXPECT_GT(nonzero, b.bytesused / 4) << "frame " << i;
        stamps.push_back(Seconds(b.timestamp));
        ASSERT_TRUE(s.Queue(b.index));
    }
    EXPECT_GE(cam.framesProduced(), 6u);
    // Frame times only move forward (their spacing is the producer's
    // schedule, which a busy machine stretches; the benchmarks time it).
    for (size_t i = 1; i < stamps.size(); ++i)
        EXPECT_GT(stamps[i], stamps[i - 1]) << i;
}

TEST(VcamCapture, VideoFaults)
{
    Cleanup cleanup;
    vcam::CameraSetup setup;
    setup.buffersGranted = 1;
    setup.intervalNumeratorZero = true;
    vcam::Camera& cam = vcam::AddCamera(setup);
    {
        Stream s;
        EXPECT_EQ(s.Setup(cam.videoPath(), 4), 1u);
        v4l2_streamparm parm{};
        parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        ASSERT_EQ(IoctlErr(s.fd, VIDIOC_G_PARM, &parm), 0);
        EXPECT_EQ(parm.parm.capture.timeperframe.numerator, 0u);
    }
    cam.SetIntervalNumeratorZero(false);
    cam.SetBuffersGranted(4);
    cam.SetShortFrames(1000);
    {
        Stream s;
        ASSERT_EQ(s.Setup(cam.videoPath(), 2), 4u);
        v4l2_streamparm parm{};
        parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        ASSERT_EQ(IoctlErr(s.fd, VIDIOC_G_PARM, &parm), 0);
        EXPECT_EQ(parm.parm.capture.timeperframe.numerator, 1u);
        EXPECT_EQ(parm.parm.capture.timeperframe.denominator, 25u);
        ASSERT_TRUE(s.QueueAll());
        ASSERT_TRUE(s.On());
        v4l2_buffer b;
        ASSERT_EQ(s.Next(&b), 0);
        EXPECT_EQ(b.bytesused, 1000u);
        ASSERT_TRUE(s.Queue(b.index));

        cam.Unplug();
        EXPECT_TRUE(cam.unplugged());
        EXPECT_TRUE(SelectReadable(s.fd, 2000));
        EXPECT_EQ(s.Next(&b), ENODEV);
        v4l2_capability cap{};
        EXPECT_EQ(IoctlErr(s.fd, VIDIOC_QUERYCAP, &cap), ENODEV);
        v4l2_format f{};
        f.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        EXPECT_EQ(IoctlErr(s.fd, VIDIOC_G_FMT, &f), ENODEV);
        struct stat st;
        EXPECT_NE(stat(cam.videoPath().c_str(), &st), 0);
        EXPECT_EQ(errno, ENOENT);
    }

    vcam::CameraSetup broken;
    broken.querycapErrno = EIO;
    vcam::Camera& other = vcam::AddCamera(broken);
    const int fd = open(other.videoPath().c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    v4l2_capability cap{};
    EXPECT_EQ(IoctlErr(fd, VIDIOC_QUERYCAP, &cap), EIO);
    close(fd);
}

// The command port as a client sees it: a raw tty.
class Tty {
public:
    explicit Tty(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY))
    {
        if (fd_ < 0)
            return;
        termios t{};
        tcgetattr(fd_, &t);
        cfmakeraw(&t);
        tcsetattr(fd_, TCSANOW, &t);
    }
    ~Tty()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    // Writes a request and collects whatever comes back within `ms`.
    std::vector<uint8_t> Exchange(const std::vector<uint8_t>& request, int ms = 1000)
    {
        tcflush(fd_, TCIFLUSH);
        if (write(fd_, request.data(), request.size()) != static_cast<ssize_t>(request.size()))
            return {};
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::vector<uint8_t> got;
        pollfd p{fd_, POLLIN, 0};
        int wait = ms;
        while (poll(&p, 1, wait) == 1) {
            uint8_t buf[256];
            const ssize_t n = read(fd_, buf, sizeof buf);
            if (n <= 0)
                break;
            got.insert(got.end(), buf, buf + n);
            wait = 200;  // the rest of a reply follows closely
        }
        return got;
    }

private:
    int fd_;
};

bool WellFormedReply(const std::vector<uint8_t>& r)
{
    if (r.size() < 7 || r[0] != 0x55 || r[r.size() - 2] != 0xEB || r[r.size() - 1] != 0xAA)
        return false;
    if (r[1] != r.size() - 4)
        return false;
    uint8_t sum = 0;
    for (size_t i = 0; i + 3 < r.size(); ++i)
        sum = static_cast<uint8_t>(sum + r[i]);
    return sum == r[r.size() - 3];
}

const std::vector<uint8_t> kPaletteQuery = {0xAA, 0x04, 0x01, 0x42, 0x00, 0xF1, 0xEB, 0xAA};

// Whatever unplugged it, a camera set to replug comes back once, after the
// delay, with a new address and capture node that open; the port answers.
// poll, epoll and the descriptor calls report what a V4L2 capture node
// reports, not what the eventfd underneath would.
TEST(VcamCapture, WaitsReportWhatTheV4l2NodeReports)
{
    Cleanup cleanup;
    vcam::Camera& cam = vcam::AddCamera();
    Stream s;
    ASSERT_EQ(s.Setup(cam.videoPath(), 2), 2u);
    auto revents = [&](int fd, short events, int ms) {
        pollfd p{fd, events, 0};
        const int n = poll(&p, 1, ms);
        return n == 1 ? p.revents : n == 0 ? 0 : -1;
    };
    // Not streaming: an error, never "writable"; with no input asked, nothing.
    EXPECT_EQ(revents(s.fd, POLLIN | POLLOUT, 1000), POLLERR);
    EXPECT_EQ(revents(s.fd, POLLOUT, 100), 0);
    char byte;
    EXPECT_EQ(read(s.fd, &byte, 1), -1);
    EXPECT_EQ(errno, EINVAL) << "a node without the read I/O method refuses read()";

    ASSERT_TRUE(s.QueueAll());
    ASSERT_TRUE(s.On());
    EXPECT_EQ(revents(s.fd, POLLIN | POLLOUT, 5000), POLLIN | POLLRDNORM);
    const int ep = epoll_create1(EPOLL_CLOEXEC);
    ASSERT_GE(ep, 0);
    epoll_event want{};
    want.events = EPOLLIN;
    want.data.u64 = 0x1234;
    ASSERT_EQ(epoll_ctl(ep, EPOLL_CTL_ADD, s.fd, &want), 0);
    epoll_event got{};
    ASSERT_EQ(epoll_wait(ep, &got, 1, 5000), 1);
    EXPECT_EQ(got.events, static_cast<uint32_t>(EPOLLIN | EPOLLRDNORM));
    EXPECT_EQ(got.data.u64, 0x1234u) << "the caller's data comes back";

    // A duplicate shares the open node: it owns the buffers too.
    const int dupfd = dup(s.fd);
    ASSERT_GE(dupfd, 0);
    v4l2_buffer b{};
    b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    b.memory = V4L2_MEMORY_MMAP;
    EXPECT_EQ(IoctlErr(dupfd, VIDIOC_DQBUF, &b), 0);
    close(dupfd);
    EXPECT_TRUE(s.Queue(b.index)) << "closing a duplicate leaves the node open";
    // O_NONBLOCK set later counts: no event ever comes, so none is waited for.
    ASSERT_EQ(fcntl(s.fd, F_SETFL, fcntl(s.fd, F_GETFL) | O_NONBLOCK), 0);
    v4l2_event ev{};
    EXPECT_EQ(IoctlErr(s.fd, VIDIOC_DQEVENT, &ev), ENOENT);

    cam.Unplug();
    EXPECT_EQ(revents(s.fd, POLLIN, 2000), POLLERR | POLLHUP);
    ASSERT_EQ(epoll_wait(ep, &got, 1, 2000), 1);
    EXPECT_EQ(got.events, static_cast<uint32_t>(EPOLLERR | EPOLLHUP));
    close(ep);
}

std::string ReadText(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::set<std::string> List(const char* dir, const char* prefix)
{
    std::set<std::string> names;
    if (DIR* d = opendir(dir)) {
        while (dirent* e = readdir(d))
            if (std::strncmp(e->d_name, prefix, std::strlen(prefix)) == 0)
                names.insert(e->d_name);
        closedir(d);
    }
    return names;
}

// The files V4L2 programs read to learn what a node is tell what udev tells.
TEST(VcamFiles, DevAndSysfsAgreeWithUdev)
{
    Cleanup cleanup;
    vcam::AddCamera();
    vcam::CameraSetup second;
    second.name = "Second";
    vcam::Camera& other = vcam::AddCamera(second);

    udev* u = udev_new();
    udev_enumerate* e = udev_enumerate_new(u);
    udev_enumerate_add_match_subsystem(e, "video4linux");
    udev_enumerate_scan_devices(e);
    std::set<std::string> names;
    for (udev_list_entry* l = udev_enumerate_get_list_entry(e); l; l = udev_list_entry_get_next(l)) {
        udev_device* d = udev_device_new_from_syspath(u, udev_list_entry_get_name(l));
        ASSERT_NE(d, nullptr);
        const std::string sysname = udev_device_get_sysname(d);
        const std::string devnode = udev_device_get_devnode(d);
        const std::string syspath = udev_device_get_syspath(d);
        const std::string minor = udev_device_get_property_value(d, "MINOR");
        SCOPED_TRACE(devnode);
        names.insert(sysname);
        struct stat node, link, linked;
        ASSERT_EQ(stat(devnode.c_str(), &node), 0);
        EXPECT_TRUE(S_ISCHR(node.st_mode));
        EXPECT_EQ(node.st_rdev, makedev(81, std::stoul(minor)));
        // /dev/videoN, the kernel's name, is a link to udev's node.
        const std::string kernelNode = "/dev/" + sysname;
        ASSERT_EQ(lstat(kernelNode.c_str(), &link), 0);
        EXPECT_TRUE(S_ISLNK(link.st_mode));
        ASSERT_EQ(stat(kernelNode.c_str(), &linked), 0);
        EXPECT_EQ(linked.st_rdev, node.st_rdev);
        char target[256] = {};
        ASSERT_GT(readlink(kernelNode.c_str(), target, sizeof target - 1), 0);
        EXPECT_EQ("/dev/" + std::string(target), devnode);

        const std::string byNumber = "/sys/dev/char/81:" + minor;
        EXPECT_EQ(ReadText(byNumber + "/uevent"), "MAJOR=81\nMINOR=" + minor + "\nDEVNAME=" + sysname + "\n");
        EXPECT_EQ(ReadText(byNumber + "/dev"), "81:" + minor + "\n");
        EXPECT_EQ(ReadText("/sys/class/video4linux/" + sysname + "/name"),
                  std::string(udev_device_get_sysattr_value(d, "name")) + "\n");
        EXPECT_EQ(ReadText(syspath + "/index"), std::string(udev_device_get_sysattr_value(d, "index")) + "\n");
        // Up from the node's interface to the USB device udev names as parent.
        udev_device* usb = udev_device_get_parent_with_subsystem_devtype(d, "usb", "usb_device");
        ASSERT_NE(usb, nullptr);
        EXPECT_EQ(ReadText(byNumber + "/device/../idProduct"),
                  std::string(udev_device_get_sysattr_value(usb, "idProduct")) + "\n");
        EXPECT_EQ(ReadText(byNumber + "/device/../busnum"),
                  std::string(udev_device_get_sysattr_value(usb, "busnum")) + "\n");
        // Attributes are read-only.
        EXPECT_EQ(open((byNumber + "/uevent").c_str(), O_WRONLY), -1);
        EXPECT_EQ(errno, EACCES);
        udev_device_unref(d);
    }
    udev_enumerate_unref(e);
    udev_unref(u);
    EXPECT_EQ(names.size(), 4u) << "two cameras, each with a capture and a metadata node";
    // Directory listings hold exactly the virtual nodes.
    EXPECT_EQ(List("/dev", "video"), names);
    EXPECT_EQ(List("/sys/class/video4linux", "video"), names);

    // An unplugged camera's entries are gone.
    const std::string gone = other.videoPath().substr(other.videoPath().rfind('/') + 1);
    other.Unplug();
    struct stat st;
    EXPECT_NE(stat(("/dev/" + gone).c_str(), &st), 0);
    EXPECT_EQ(List("/sys/class/video4linux", "video").count(gone), 0u);
    vcam::RemoveAll();
    EXPECT_NE(stat("/sys/devices/vivazuzoz-vcam", &st), 0) << "no camera, no virtual device directory";
}

TEST(VcamReplug, AnUnpluggedCameraComesBackByItself)
{
    Cleanup cleanup;
    vcam::CameraSetup setup;
    setup.replugAfter = 0.3;
    vcam::Camera& cam = vcam::AddCamera(setup);
    const int devnum = cam.devnum();
    const std::string node = cam.videoPath();
    cam.Unplug();
    EXPECT_TRUE(cam.unplugged());
    ASSERT_TRUE(Eventually([&] { return !cam.unplugged(); })) << "never came back";
    EXPECT_NE(cam.devnum(), devnum);
    EXPECT_NE(cam.videoPath(), node);
    const int fd = open(cam.videoPath().c_str(), O_RDWR);
    EXPECT_GE(fd, 0);
    if (fd >= 0)
        close(fd);
    Tty tty(cam.serialPath());
    ASSERT_TRUE(tty.ok());
    EXPECT_FALSE(tty.Exchange(kPaletteQuery).empty());

    // Unplugged again, it comes back again.
    const int second = cam.devnum();
    cam.Unplug();
    ASSERT_TRUE(Eventually([&] { return !cam.unplugged(); }));
    EXPECT_NE(cam.devnum(), second);
}

// Run by ctest under the wrapper (vcam_wrapper_replug): the camera the
// wrapper made from --unplug-after and --replug-after goes and comes back.
TEST(VcamWrapper, DISABLED_UnplugsAndReplugsAsTheCommandLineSays)
{
    const std::vector<vcam::Camera*> cams = vcam::Cameras();
    ASSERT_EQ(cams.size(), 1u) << "run under vivazuzoz-vcam --unplug-after S --replug-after S";
    vcam::Camera& cam = *cams[0];
    EXPECT_GT(cam.setup().unplugAfter, 0);
    EXPECT_GT(cam.setup().replugAfter, 0);
    const int devnum = cam.devnum();
    // Only a replug changes the address, and only an unplug allows one.
    EXPECT_TRUE(Eventually([&] { return cam.devnum() != devnum && !cam.unplugged(); }, std::chrono::seconds(30)));
}

// Run by ctest under the wrapper (vcam_wrapper_unplug_every): with
// --unplug-every and --replug-after the camera goes and comes back again and
// again, on the wrapper's clock rather than the camera's.
TEST(VcamWrapper, DISABLED_UnplugsAgainAndAgainOnTheWrappersSchedule)
{
    const std::vector<vcam::Camera*> cams = vcam::Cameras();
    ASSERT_EQ(cams.size(), 1u) << "run under vivazuzoz-vcam --unplug-every S --replug-after S";
    vcam::Camera& cam = *cams[0];
    EXPECT_GT(cam.setup().unplugEvery, cam.setup().replugAfter);
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    EXPECT_GT(cam.setup().scheduleOrigin, 0);
    EXPECT_LE(cam.setup().scheduleOrigin, static_cast<double>(now.tv_sec) + now.tv_nsec * 1e-9);
    for (int round = 0; round < 3; ++round) {
        const int devnum = cam.devnum();
        ASSERT_TRUE(Eventually([&] { return cam.unplugged(); }, std::chrono::seconds(30))) << "round " << round;
        ASSERT_TRUE(Eventually([&] { return !cam.unplugged(); }, std::chrono::seconds(30))) << "round " << round;
        EXPECT_NE(cam.devnum(), devnum);
    }
}

TEST(VcamPort, AnswersTheWorkedExamples)
{
    Cleanup cleanup;
    vcam::Camera& cam = vcam::AddCamera();
    vcam::Model m = cam.model();
    m.palette = 5;
    cam.SetModel(m);
    Tty tty(cam.serialPath());
    ASSERT_TRUE(tty.ok());

    auto r = tty.Exchange(kPaletteQuery);
    ASSERT_GE(r.size(), 5u);
    EXPECT_TRUE(WellFormedReply(r));
    EXPECT_EQ(r[0], 0x55);
    EXPECT_EQ(r[2], 0x42);
    EXPECT_EQ(r[3], 0x33);
    EXPECT_EQ(r[4], 5);

    r = tty.Exchange({0xAA, 0x05, 0x01, 0x42, 0x02, 0x03, 0xF7, 0xEB, 0xAA});
    ASSERT_GE(r.size(), 5u);
    EXPECT_TRUE(WellFormedReply(r));
    EXPECT_EQ(r[0], 0x55);
    EXPECT_EQ(r[2], 0x42);
    EXPECT_EQ(r[3], 0x33);
    EXPECT_EQ(r[4], 0x01);
    EXPECT_EQ(cam.model().palette, 3);

    r = tty.Exchange({0xAA, 0x05, 0x07, 0x62, 0x00, 0x00, 0x18, 0xEB, 0xAA});
    ASSERT_GE(r.size(), 9u);
    EXPECT_TRUE(WellFormedReply(r));
    EXPECT_EQ(r[0], 0x55);
    EXPECT_EQ(r[2], 0x07);
    EXPECT_EQ(r[3], 0x62);
    EXPECT_EQ(r[4], 0x33);
    // Scale and offset of level code 0, little-endian.
    EXPECT_EQ(r[5] | (r[6] << 8), m.scale[0]);
    EXPECT_EQ(static_cast<int16_t>(r[7] | (r[8] << 8)), m.offset[0]);

    // A wrong checksum is recorded but not answered; the port keeps working.
    cam.ClearRequests();
    r = tty.Exchange({0xAA, 0x04, 0x01, 0x42, 0x00, 0xF0, 0xEB, 0xAA}, 400);
    EXPECT_TRUE(r.empty());
    // A bad length and a bad tail are not even frames.
    r = tty.Exchange({0xAA, 0x09, 0x01, 0x42, 0x00, 0xF1, 0xEB, 0xAA}, 400);
    EXPECT_TRUE(r.empty());
    r = tty.Exchange({0xAA, 0x04, 0x01, 0x42, 0x00, 0xF1, 0xEB, 0xAB}, 400);
    EXPECT_TRUE(r.empty());
    EXPECT_EQ(cam.requests().size(), 1u);
    r = tty.Exchange(kPaletteQuery);
    ASSERT_GE(r.size(), 5u);
    EXPECT_EQ(r[4], 3);

    // Out of range: refused with 00 and the model unchanged.
    r = tty.Exchange({0xAA, 0x05, 0x01, 0x42, 0x02, 0x10, 0x04, 0xEB, 0xAA});
    ASSERT_GE(r.size(), 5u);
    EXPECT_EQ(r[3], 0x33);
    EXPECT_EQ(r[4], 0x00);
    EXPECT_EQ(cam.model().palette, 3);
}

// A client that flushes both queues right after writing (as the library's
// reads do) loses no request however late the camera's responder runs: a
// real line has sent the bytes by then. Its input is still flushed.
TEST(VcamPort, AFlushAfterAWriteDropsTheInputButNotTheRequest)
{
    Cleanup cleanup;
    vcam::Camera& cam = vcam::AddCamera();
    Tty tty(cam.serialPath());
    ASSERT_TRUE(tty.ok());
    // The input is flushed: a reply that arrived is gone.
    ASSERT_EQ(write(tty.fd(), kPaletteQuery.data(), kPaletteQuery.size()), static_cast<ssize_t>(kPaletteQuery.size()));
    pollfd p{tty.fd(), POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1) << "no reply to flush";
    ASSERT_EQ(tcflush(tty.fd(), TCIOFLUSH), 0);
    EXPECT_EQ(poll(&p, 1, 0), 0) << "the reply survived the input flush";
    // The output is not: every request reaches the camera.
    for (size_t i = 2; i <= 40; ++i) {
        ASSERT_EQ(write(tty.fd(), kPaletteQuery.data(), kPaletteQuery.size()),
                  static_cast<ssize_t>(kPaletteQuery.size()));
        ASSERT_EQ(tcflush(tty.fd(), TCIOFLUSH), 0);
        ASSERT_TRUE(Eventually([&] { return cam.requests().size() == i; })) << "request " << i << " lost";
    }
}

TEST(VcamPort, Faults)
{
    Cleanup cleanup;
    vcam::Camera& cam = vcam::AddCamera();
    Tty tty(cam.serialPath());
    ASSERT_TRUE(tty.ok());

    cam.SetPortFault(vcam::PortFault::WrongStatus);
    auto r = tty.Exchange(kPaletteQuery);
    ASSERT_GE(r.size(), 4u);
    EXPECT_TRUE(WellFormedReply(r));
    EXPECT_EQ(r[2], 0x42);
    EXPECT_EQ(r[3], 0x45);

    cam.SetPortFault(vcam::PortFault::Silence);
    cam.ClearRequests();
    r = tty.Exchange(kPaletteQuery, 500);
    EXPECT_TRUE(r.empty());
    ASSERT_EQ(cam.requests().size(), 1u);
    EXPECT_EQ(cam.requests()[0].bytes, kPaletteQuery);

    cam.SetPortFault(vcam::PortFault::None);
    r = tty.Exchange(kPaletteQuery);
    ASSERT_GE(r.size(), 4u);
    EXPECT_EQ(r[3], 0x33);

    // Unplugged, the responder goes quiet while the tty stays usable.
    cam.Unplug();
    r = tty.Exchange(kPaletteQuery, 500);
    EXPECT_TRUE(r.empty());
}

}  // namespace

// The raw temperature sample at (x, y) of a frame of a 256x192
// image-and-temperature stream, under the default level's formula.
int RawTemperatureAt(const Stream& s, const v4l2_buffer& b, int x, int y)
{
    const auto* row = static_cast<const int16_t*>(s.maps[b.index]) + static_cast<size_t>(y) * 512;
    return row[256 + x];
}

TEST(VcamScene, HotObjectSwitchReachesTheFramesAndTheSceneApi)
{
    Cleanup cleanup;
    vcam::Camera& cam = vcam::AddCamera();
    const int hx = cam.HotspotX(), hy = cam.HotspotY();
    const int hot = cam.SceneTenths(hx, hy);
    ASSERT_EQ(hot, 1100);
    Stream s;
    ASSERT_EQ(s.Setup(cam.videoPath(), 2), 2u);
    ASSERT_TRUE(s.QueueAll() && s.On());
    auto rawOf = [](int tenths) { return -2000 + tenths * 8; };  // level code 0: scale 80, offset -2000
    // Frames follow the switch within a few frames, both ways.
    for (bool on : {false, true}) {
        cam.SetHotObject(on);
        EXPECT_EQ(cam.hotObject(), on);
        const int want = rawOf(cam.SceneTenths(hx, hy));
        EXPECT_EQ(cam.SceneTenths(hx, hy) == hot, on);
        bool seen = false;
        for (int frame = 0; frame < 10 && !seen; ++frame) {
            v4l2_buffer b{};
            ASSERT_EQ(s.Next(&b), 0);
            seen = RawTemperatureAt(s, b, hx, hy) == want;
            ASSERT_TRUE(s.Queue(b.index));
        }
        EXPECT_TRUE(seen) << "hot object " << (on ? "on" : "off") << " not in the frames";
    }
}

TEST(VcamModel, StateFileKeepsTheSettingsForTheNextCameraAndRepairsABadFile)
{
    char dir[] = "/tmp/vcam-state-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/cam.json";
    vcam::CameraSetup setup;
    setup.stateFile = path;
    {
        Cleanup cleanup;
        vcam::Camera& first = vcam::AddCamera(setup);
        vcam::Model m = first.model();
        m.palette = 9;
        m.env[2] = 9123;
        m.tuning[5] = 77;
        first.SetModel(m);
    }
    {
        Cleanup cleanup;
        // A camera made later with the same file starts where the other left off.
        const vcam::Model m = vcam::AddCamera(setup).model();
        EXPECT_EQ(m.palette, 9);
        EXPECT_EQ(m.env[2], 9123);
        EXPECT_EQ(m.tuning[5], 77);
        EXPECT_EQ(m.env[0], vcam::Model().env[0]);
    }
    {
        FILE* f = std::fopen(path.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs("{\"cameras\": [{\"palette\": ", f);  // cut short
        std::fclose(f);
        Cleanup cleanup;
        vcam::Camera& cam = vcam::AddCamera(setup);
        EXPECT_EQ(cam.model().palette, 0);
        vcam::Model m = cam.model();
        m.palette = 4;
        cam.SetModel(m);
    }
    FILE* f = std::fopen(path.c_str(), "r");
    ASSERT_NE(f, nullptr);
    char text[512] = {};
    EXPECT_GT(std::fread(text, 1, sizeof text - 1, f), 0u);
    std::fclose(f);
    EXPECT_NE(std::strstr(text, "\"palette\": 4,"), nullptr) << text;
    std::remove(path.c_str());
    rmdir(dir);
}
