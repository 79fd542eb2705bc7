// Bridge - the emulator's answers to the C library interposers: opening a
// virtual node gives a real eventfd; requests, mappings and the close of that
// descriptor come here.
#include "devices.h"
#include "emulator.h"
#include "vcam_bridge.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vcam {
namespace detail {

namespace {

constexpr int kMaxFd = 65536;
// Set while the descriptor is open on a virtual node. Written with Lock()
// held, read without it.
std::atomic<uint8_t> g_fdFlags[kMaxFd];
std::atomic<int> g_virtualFds{0};  // descriptors set in g_fdFlags

std::map<int, std::shared_ptr<Handle>>& Handles()
{
    static auto* handles = new std::map<int, std::shared_ptr<Handle>>;  // guarded by Lock(); lives to exit
    return *handles;
}

void FillStat(const VideoNode& node, struct stat* st)
{
    std::memset(st, 0, sizeof *st);
    st->st_dev = makedev(0, 5);
    st->st_ino = 0x7ca00000u + static_cast<unsigned>(node.number());
    st->st_mode = S_IFCHR | 0660;
    st->st_nlink = 1;
    st->st_rdev = makedev(kVideoMajor, static_cast<unsigned>(node.number()));
    st->st_blksize = 4096;
    clock_gettime(CLOCK_REALTIME, &st->st_atim);
    st->st_mtim = st->st_ctim = st->st_atim;
}

int Fail(int err)
{
    errno = err;
    return -1;
}

}  // namespace

const char kNodePrefix[] = "/dev/vivazuzoz-vcam/";
std::atomic<int> g_mappingCount{0};

bool Handle::NonBlocking() const
{
    return (fcntl(fd, F_GETFL) & O_NONBLOCK) != 0;
}

bool IsVirtualFd(int fd)
{
    return fd >= 0 && fd < kMaxFd && g_fdFlags[fd].load(std::memory_order_acquire) != 0;
}

std::shared_ptr<Handle> FindHandle(int fd)
{
    auto it = Handles().find(fd);
    return it == Handles().end() ? nullptr : it->second;
}

std::shared_ptr<VideoNode> FindNode(const char* path)
{
    for (auto& cam : Cameras()) {
        for (auto& n : cam->captures)
            if (n->path() == path)
                return n;
        if (cam->metadata && cam->metadata->path() == path)
            return cam->metadata;
    }
    return nullptr;
}

std::map<uintptr_t, Mapping>& Mappings()
{
    static auto* mappings = new std::map<uintptr_t, Mapping>;  // guarded by Lock(); lives to exit
    return *mappings;
}

int RealClose(int fd)
{
    return vcam_real_close(fd);
}
void* RealMmap(void* addr, size_t len, int prot, int flags, int fd, off_t off)
{
    return vcam_real_mmap(addr, len, prot, flags, fd, off);
}
int RealMunmap(void* addr, size_t len)
{
    return vcam_real_munmap(addr, len);
}

}  // namespace detail
}  // namespace vcam

using namespace vcam::detail;

extern "C" {

int vcam_path_is_virtual(const char* path)
{
    return path && std::strncmp(path, kNodePrefix, sizeof kNodePrefix - 1) == 0;
}

int vcam_fd_is_virtual(int fd)
{
    return IsVirtualFd(fd);
}

int vcam_open_node(const char* path, int flags)
{
    std::unique_lock<std::mutex> lk(Lock());
    std::shared_ptr<VideoNode> node = FindNode(path);
    if (!node || node->gone())
        return Fail(ENOENT);
    if (flags & (O_DIRECTORY))
        return Fail(ENOTDIR);
    // Blocking or not as the client asks: the emulator reads the counter only
    // when it holds a count, and writes it only when it holds none.
    const int fd = eventfd(0, ((flags & O_NONBLOCK) ? EFD_NONBLOCK : 0) | ((flags & O_CLOEXEC) ? EFD_CLOEXEC : 0));
    if (fd < 0)
        return -1;
    if (fd >= 65536) {
        RealClose(fd);
        return Fail(EMFILE);
    }
    auto h = std::make_shared<Handle>();
    h->fd = fd;
    h->node = node;
    Handles()[fd] = h;
    g_fdFlags[fd].store(1, std::memory_order_release);
    g_virtualFds.fetch_add(1, std::memory_order_release);
    node->Attach(h.get());
    return fd;
}

int vcam_stat_node(const char* path, struct stat* st)
{
    std::unique_lock<std::mutex> lk(Lock());
    std::shared_ptr<VideoNode> node = FindNode(path);
    if (!node || node->gone())
        return Fail(ENOENT);
    FillStat(*node, st);
    return 0;
}

int vcam_vfs_statx(const char* path, int follow, struct statx* stx, int* handled)
{
    struct stat st;
    const int r = vcam_vfs_stat(path, &st, follow, handled);
    if (!*handled || r != 0)
        return r;
    std::memset(stx, 0, sizeof *stx);
    stx->stx_mask = STATX_BASIC_STATS;
    stx->stx_mode = static_cast<uint16_t>(st.st_mode);
    stx->stx_nlink = static_cast<uint32_t>(st.st_nlink);
    stx->stx_ino = st.st_ino;
    stx->stx_size = static_cast<uint64_t>(st.st_size);
    stx->stx_blksize = static_cast<uint32_t>(st.st_blksize);
    stx->stx_rdev_major = major(st.st_rdev);
    stx->stx_rdev_minor = minor(st.st_rdev);
    stx->stx_dev_major = major(st.st_dev);
    stx->stx_dev_minor = minor(st.st_dev);
    stx->stx_atime.tv_sec = stx->stx_mtime.tv_sec = stx->stx_ctime.tv_sec = st.st_mtim.tv_sec;
    return 0;
}

int vcam_virtual_fd_count(void)
{
    return g_virtualFds.load(std::memory_order_acquire);
}

int vcam_fstat_fd(int fd, struct stat* st, int* handled)
{
    std::unique_lock<std::mutex> lk(Lock());
    std::shared_ptr<Handle> h = FindHandle(fd);
    if (!h)
        return 0;
    *handled = 1;
    FillStat(*h->node, st);
    return 0;
}

int vcam_ioctl_fd(int fd, unsigned long request, void* arg, int* handled)
{
    std::unique_lock<std::mutex> lk(Lock());
    std::shared_ptr<Handle> h = FindHandle(fd);
    if (!h)
        return 0;
    *handled = 1;
    // The kernel takes the request as 32 bits: a sign-extended one is the same.
    const int r = h->node->Ioctl(h.get(), static_cast<unsigned int>(request), arg, lk);
    return r < 0 ? Fail(-r) : r;
}

void* vcam_mmap_fd(void* addr, size_t len, int prot, int flags, int fd, off_t off, int* handled)
{
    std::unique_lock<std::mutex> lk(Lock());
    std::shared_ptr<Handle> h = FindHandle(fd);
    if (!h)
        return nullptr;
    *handled = 1;
    // videobuf2 maps buffers shared only.
    if (!(flags & MAP_SHARED)) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    int memfd = -1;
    uint64_t setId = 0;
    size_t index = 0;
    const int r = h->node->MapTarget(len, off, &memfd, &setId, &index);
    if (r < 0) {
        errno = -r;
        return MAP_FAILED;
    }
    void* p = RealMmap(addr, len, prot, flags, memfd, off);
    if (p == MAP_FAILED)
        return p;
    vcam::Camera::State* cam = nullptr;
    for (auto& c : vcam::detail::Cameras()) {
        for (auto& n : c->captures)
            if (n == h->node)
                cam = c.get();
    }
    Mappings()[reinterpret_cast<uintptr_t>(p)] = Mapping{len, h->node, cam, setId, index};
    g_mappingCount.fetch_add(1);
    return p;
}

void vcam_munmap_note(void* addr, size_t len)
{
    if (g_mappingCount.load() == 0)
        return;
    std::unique_lock<std::mutex> lk(Lock());
    const uintptr_t lo = reinterpret_cast<uintptr_t>(addr);
    auto it = Mappings().lower_bound(lo);
    while (it != Mappings().end() && it->first < lo + len) {
        it = Mappings().erase(it);
        g_mappingCount.fetch_sub(1);
    }
}

int vcam_close_fd(int fd, int* handled)
{
    std::unique_lock<std::mutex> lk(Lock());
    std::shared_ptr<Handle> h = FindHandle(fd);
    if (!h)
        return 0;
    *handled = 1;
    Handles().erase(fd);
    if (--h->fdCount > 0) {
        // A duplicate stays open: the file lives on.
        if (h->fd == fd)
            for (const auto& other : Handles())
                if (other.second == h)
                    h->fd = other.first;
    } else {
        h->closed = true;
        h->node->Detach(h.get(), lk);
    }
    // Cleared before the descriptor number can be handed out again.
    g_fdFlags[fd].store(0, std::memory_order_release);
    g_virtualFds.fetch_sub(1, std::memory_order_release);
    return RealClose(fd);
}

void vcam_note_dup(int oldfd, int newfd)
{
    std::unique_lock<std::mutex> lk(Lock());
    std::shared_ptr<Handle> h = FindHandle(oldfd);
    if (!h || newfd < 0 || newfd >= kMaxFd || newfd == oldfd)
        return;
    h->fdCount++;
    Handles()[newfd] = h;
    g_fdFlags[newfd].store(1, std::memory_order_release);
    g_virtualFds.fetch_add(1, std::memory_order_release);
}

}  // extern "C"
