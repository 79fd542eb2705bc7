/* libc_shim - the C library entry points that open, examine, drive, map and
 * wait on a V4L2 node, and those that read the file system entries that tell
 * what a node is (/dev, /sys). Calls that concern a virtual node, a
 * descriptor open on one or an emulated entry go to the emulator
 * (vcam_bridge.h); everything else goes straight to the next definition in
 * the lookup order (the C library, or a sanitizer runtime's interceptor),
 * found lazily with dlsym(RTLD_NEXT).
 *
 * These run from the first instruction of the process on, before any
 * constructor: they allocate nothing and take no lock on the pass-through
 * path, and the pointer caches are plain atomics. */
#define _GNU_SOURCE
#include "vcam_bridge.h"

#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#define EXPORT __attribute__((visibility("default")))

/* readdir hands out the emulator's struct dirent64 as a struct dirent. */
_Static_assert(sizeof(struct dirent) == sizeof(struct dirent64) &&
                   offsetof(struct dirent, d_name) == offsetof(struct dirent64, d_name),
               "struct dirent and struct dirent64 differ");

static void* next_symbol(void** cache, const char* name)
{
    void* p = __atomic_load_n(cache, __ATOMIC_ACQUIRE);
    if (!p) {
        p = dlsym(RTLD_NEXT, name);
        __atomic_store_n(cache, p, __ATOMIC_RELEASE);
    }
    return p;
}

/* REAL(name, type) evaluates to the next definition of `name`. */
#define REAL(name, type)                          \
    ({                                            \
        static void* cache_##name;                \
        (type) next_symbol(&cache_##name, #name); \
    })

typedef int (*open_fn)(const char*, int, ...);
typedef int (*openat_fn)(int, const char*, int, ...);
typedef int (*open2_fn)(const char*, int);
typedef int (*openat2_fn)(int, const char*, int);
typedef int (*close_fn)(int);
typedef int (*ioctl_fn)(int, unsigned long, ...);
typedef void* (*mmap_fn)(void*, size_t, int, int, int, off_t);
typedef int (*munmap_fn)(void*, size_t);
typedef int (*stat_fn)(const char*, struct stat*);
typedef int (*fstat_fn)(int, struct stat*);
typedef int (*fstatat_fn)(int, const char*, struct stat*, int);
typedef int (*statx_fn)(int, const char*, int, unsigned int, struct statx*);
typedef int (*access_fn)(const char*, int);
typedef int (*faccessat_fn)(int, const char*, int, int);
typedef int (*tcflush_fn)(int, int);
typedef FILE* (*fopen_fn)(const char*, const char*);
typedef ssize_t (*readlink_fn)(const char*, char*, size_t);
typedef ssize_t (*readlinkat_fn)(int, const char*, char*, size_t);
typedef DIR* (*opendir_fn)(const char*);
typedef struct dirent* (*readdir_fn)(DIR*);
typedef struct dirent64* (*readdir64_fn)(DIR*);
typedef void (*rewinddir_fn)(DIR*);
typedef int (*closedir_fn)(DIR*);
typedef ssize_t (*read_fn)(int, void*, size_t);
typedef int (*dup_fn)(int);
typedef int (*dup2_fn)(int, int);
typedef int (*dup3_fn)(int, int, int);
typedef int (*fcntl_fn)(int, int, ...);
typedef ssize_t (*write_fn)(int, const void*, size_t);
typedef int (*poll_fn)(struct pollfd*, nfds_t, int);
typedef int (*ppoll_fn)(struct pollfd*, nfds_t, const struct timespec*, const sigset_t*);
typedef int (*select_fn)(int, fd_set*, fd_set*, fd_set*, struct timeval*);
typedef int (*pselect_fn)(int, fd_set*, fd_set*, fd_set*, const struct timespec*, const sigset_t*);
typedef int (*epoll_ctl_fn)(int, int, int, struct epoll_event*);
typedef int (*epoll_wait_fn)(int, struct epoll_event*, int, int);
typedef int (*epoll_pwait_fn)(int, struct epoll_event*, int, int, const sigset_t*);
typedef int (*epoll_pwait2_fn)(int, struct epoll_event*, int, const struct timespec*, const sigset_t*);

static int needs_mode(int flags)
{
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE;
}

/* Returns from the calling interposer when `path` is an emulated entry. */
#define VFS_OPEN(path, flags, mode)                                                 \
    do {                                                                            \
        if (vcam_path_may_be_virtual(path)) {                                       \
            int handled_ = 0;                                                       \
            const int r_ = vcam_vfs_open(path, flags, (unsigned)(mode), &handled_); \
            if (handled_)                                                           \
                return r_;                                                          \
        }                                                                           \
    } while (0)

/* ---------------------------------------------------------------- open */

EXPORT int open(const char* path, int flags, ...)
{
    mode_t mode = 0;
    if (needs_mode(flags)) {
        va_list ap;
        va_start(ap, flags);
        mode = (mode_t)va_arg(ap, int);
        va_end(ap);
    }
    VFS_OPEN(path, flags, mode);
    return REAL(open, open_fn)(path, flags, mode);
}

EXPORT int open64(const char* path, int flags, ...)
{
    mode_t mode = 0;
    if (needs_mode(flags)) {
        va_list ap;
        va_start(ap, flags);
        mode = (mode_t)va_arg(ap, int);
        va_end(ap);
    }
    VFS_OPEN(path, flags, mode);
    return REAL(open64, open_fn)(path, flags, mode);
}

EXPORT int openat(int dirfd, const char* path, int flags, ...)
{
    mode_t mode = 0;
    if (needs_mode(flags)) {
        va_list ap;
        va_start(ap, flags);
        mode = (mode_t)va_arg(ap, int);
        va_end(ap);
    }
    VFS_OPEN(path, flags, mode);
    return REAL(openat, openat_fn)(dirfd, path, flags, mode);
}

EXPORT int openat64(int dirfd, const char* path, int flags, ...)
{
    mode_t mode = 0;
    if (needs_mode(flags)) {
        va_list ap;
        va_start(ap, flags);
        mode = (mode_t)va_arg(ap, int);
        va_end(ap);
    }
    VFS_OPEN(path, flags, mode);
    return REAL(openat64, openat_fn)(dirfd, path, flags, mode);
}

/* The fortified variants the compiler emits for open calls without a mode. */
EXPORT int __open_2(const char* path, int flags)
{
    VFS_OPEN(path, flags, 0);
    return REAL(__open_2, open2_fn)(path, flags);
}

EXPORT int __open64_2(const char* path, int flags)
{
    VFS_OPEN(path, flags, 0);
    return REAL(__open64_2, open2_fn)(path, flags);
}

EXPORT int __openat_2(int dirfd, const char* path, int flags)
{
    VFS_OPEN(path, flags, 0);
    return REAL(__openat_2, openat2_fn)(dirfd, path, flags);
}

EXPORT int __openat64_2(int dirfd, const char* path, int flags)
{
    VFS_OPEN(path, flags, 0);
    return REAL(__openat64_2, openat2_fn)(dirfd, path, flags);
}

/* fopen opens through the C library's internal entry points, not open. */
static FILE* vfs_fopen(const char* path, const char* mode, int* handled)
{
    int flags = strchr(mode, '+') ? O_RDWR : mode[0] == 'r' ? O_RDONLY : O_WRONLY;
    if (mode[0] == 'w')
        flags |= O_CREAT | O_TRUNC;
    if (mode[0] == 'a')
        flags |= O_CREAT | O_APPEND;
    if (strchr(mode, 'e'))
        flags |= O_CLOEXEC;
    const int fd = vcam_vfs_open(path, flags, 0666, handled);
    if (!*handled || fd < 0)
        return NULL;
    FILE* f = fdopen(fd, mode);
    if (!f) {
        const int err = errno;
        close(fd);
        errno = err;
    }
    return f;
}

EXPORT FILE* fopen(const char* path, const char* mode)
{
    if (vcam_path_may_be_virtual(path) && mode) {
        int handled = 0;
        FILE* f = vfs_fopen(path, mode, &handled);
        if (handled)
            return f;
    }
    return REAL(fopen, fopen_fn)(path, mode);
}

EXPORT FILE* fopen64(const char* path, const char* mode)
{
    if (vcam_path_may_be_virtual(path) && mode) {
        int handled = 0;
        FILE* f = vfs_fopen(path, mode, &handled);
        if (handled)
            return f;
    }
    return REAL(fopen64, fopen_fn)(path, mode);
}

int vcam_real_open(const char* path, int flags, unsigned mode)
{
    return REAL(open, open_fn)(path, flags, mode);
}

/* ---------------------------------------------------------------- close, ioctl, read, write */

EXPORT int close(int fd)
{
    if (vcam_epoll_watches_virtual(fd))
        vcam_epoll_forget(fd);
    if (vcam_fd_is_virtual(fd)) {
        vcam_epoll_forget(fd);
        int handled = 0;
        const int r = vcam_close_fd(fd, &handled);
        if (handled)
            return r;
    }
    return REAL(close, close_fn)(fd);
}

int vcam_real_close(int fd)
{
    return REAL(close, close_fn)(fd);
}

EXPORT int ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (vcam_fd_is_virtual(fd)) {
        int handled = 0;
        const int r = vcam_ioctl_fd(fd, request, arg, &handled);
        if (handled)
            return r;
    }
    return REAL(ioctl, ioctl_fn)(fd, request, arg);
}

/* Duplicates of a descriptor on a virtual node refer to the same open node. */
EXPORT int dup(int fd)
{
    const int r = REAL(dup, dup_fn)(fd);
    if (r >= 0 && vcam_fd_is_virtual(fd))
        vcam_note_dup(fd, r);
    return r;
}

EXPORT int dup2(int fd, int newfd)
{
    if (newfd != fd && vcam_fd_is_virtual(newfd))
        close(newfd);
    const int r = REAL(dup2, dup2_fn)(fd, newfd);
    if (r >= 0 && vcam_fd_is_virtual(fd))
        vcam_note_dup(fd, r);
    return r;
}

EXPORT int dup3(int fd, int newfd, int flags)
{
    if (newfd != fd && vcam_fd_is_virtual(newfd))
        close(newfd);
    const int r = REAL(dup3, dup3_fn)(fd, newfd, flags);
    if (r >= 0 && vcam_fd_is_virtual(fd))
        vcam_note_dup(fd, r);
    return r;
}

static int fcntl_common(fcntl_fn real, int fd, int cmd, void* arg)
{
    const int r = real(fd, cmd, arg);
    if (r >= 0 && (cmd == F_DUPFD || cmd == F_DUPFD_CLOEXEC) && vcam_fd_is_virtual(fd))
        vcam_note_dup(fd, r);
    return r;
}

EXPORT int fcntl(int fd, int cmd, ...)
{
    va_list ap;
    va_start(ap, cmd);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    return fcntl_common(REAL(fcntl, fcntl_fn), fd, cmd, arg);
}

EXPORT int fcntl64(int fd, int cmd, ...)
{
    va_list ap;
    va_start(ap, cmd);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    return fcntl_common(REAL(fcntl64, fcntl_fn), fd, cmd, arg);
}

/* A V4L2 capture node without the read/write I/O method refuses both. */
EXPORT ssize_t read(int fd, void* buf, size_t n)
{
    if (vcam_fd_is_virtual(fd)) {
        errno = EINVAL;
        return -1;
    }
    return REAL(read, read_fn)(fd, buf, n);
}

EXPORT ssize_t __read_chk(int fd, void* buf, size_t n, size_t buflen)
{
    (void)buflen;
    return read(fd, buf, n);
}

EXPORT ssize_t write(int fd, const void* buf, size_t n)
{
    if (vcam_fd_is_virtual(fd)) {
        errno = EINVAL;
        return -1;
    }
    return REAL(write, write_fn)(fd, buf, n);
}

long vcam_real_read(int fd, void* buf, size_t n)
{
    return REAL(read, read_fn)(fd, buf, n);
}
long vcam_real_write(int fd, const void* buf, size_t n)
{
    return REAL(write, write_fn)(fd, buf, n);
}

/* ---------------------------------------------------------------- poll, select, epoll */

static int any_virtual_pollfd(const struct pollfd* fds, nfds_t n)
{
    if (!fds || vcam_virtual_fd_count() == 0)
        return 0;
    for (nfds_t i = 0; i < n; ++i)
        if (vcam_fd_is_virtual(fds[i].fd))
            return 1;
    return 0;
}

static int any_virtual_in_sets(int nfds, fd_set* r, fd_set* w, fd_set* e)
{
    if (vcam_virtual_fd_count() == 0)
        return 0;
    for (int fd = 0; fd < nfds && fd < FD_SETSIZE; ++fd)
        if (((r && FD_ISSET(fd, r)) || (w && FD_ISSET(fd, w)) || (e && FD_ISSET(fd, e))) && vcam_fd_is_virtual(fd))
            return 1;
    return 0;
}

static struct timespec ms_to_timespec(int ms)
{
    struct timespec t = {ms / 1000, (long)(ms % 1000) * 1000000L};
    return t;
}

EXPORT int poll(struct pollfd* fds, nfds_t n, int timeout)
{
    if (any_virtual_pollfd(fds, n)) {
        const struct timespec t = ms_to_timespec(timeout);
        return vcam_poll(fds, n, timeout < 0 ? NULL : &t, NULL);
    }
    return REAL(poll, poll_fn)(fds, n, timeout);
}

EXPORT int __poll_chk(struct pollfd* fds, nfds_t n, int timeout, size_t fdslen)
{
    (void)fdslen;
    return poll(fds, n, timeout);
}

EXPORT int ppoll(struct pollfd* fds, nfds_t n, const struct timespec* timeout, const sigset_t* mask)
{
    if (any_virtual_pollfd(fds, n))
        return vcam_poll(fds, n, timeout, mask);
    return REAL(ppoll, ppoll_fn)(fds, n, timeout, mask);
}

EXPORT int __ppoll_chk(struct pollfd* fds, nfds_t n, const struct timespec* timeout, const sigset_t* mask,
                       size_t fdslen)
{
    (void)fdslen;
    return ppoll(fds, n, timeout, mask);
}

int vcam_real_ppoll(struct pollfd* fds, unsigned long n, const struct timespec* timeout, const void* mask)
{
    return REAL(ppoll, ppoll_fn)(fds, n, timeout, (const sigset_t*)mask);
}

EXPORT int select(int nfds, fd_set* r, fd_set* w, fd_set* e, struct timeval* tv)
{
    if (any_virtual_in_sets(nfds, r, w, e)) {
        struct timespec t;
        if (tv) {
            t.tv_sec = tv->tv_sec;
            t.tv_nsec = tv->tv_usec * 1000L;
        }
        const int res = vcam_select(nfds, r, w, e, tv ? &t : NULL, NULL);
        if (tv) {
            tv->tv_sec = t.tv_sec;
            tv->tv_usec = t.tv_nsec / 1000L;
        }
        return res;
    }
    return REAL(select, select_fn)(nfds, r, w, e, tv);
}

EXPORT int pselect(int nfds, fd_set* r, fd_set* w, fd_set* e, const struct timespec* timeout, const sigset_t* mask)
{
    if (any_virtual_in_sets(nfds, r, w, e)) {
        struct timespec t;
        if (timeout)
            t = *timeout;
        return vcam_select(nfds, r, w, e, timeout ? &t : NULL, mask);
    }
    return REAL(pselect, pselect_fn)(nfds, r, w, e, timeout, mask);
}

EXPORT int epoll_ctl(int epfd, int op, int fd, struct epoll_event* event)
{
    if (vcam_fd_is_virtual(fd))
        return vcam_epoll_ctl(epfd, op, fd, event);
    return REAL(epoll_ctl, epoll_ctl_fn)(epfd, op, fd, event);
}

int vcam_real_epoll_ctl(int epfd, int op, int fd, struct epoll_event* event)
{
    return REAL(epoll_ctl, epoll_ctl_fn)(epfd, op, fd, event);
}

EXPORT int epoll_wait(int epfd, struct epoll_event* events, int maxevents, int timeout)
{
    if (vcam_epoll_watches_virtual(epfd)) {
        const struct timespec t = ms_to_timespec(timeout);
        return vcam_epoll_wait(epfd, events, maxevents, timeout < 0 ? NULL : &t, NULL);
    }
    return REAL(epoll_wait, epoll_wait_fn)(epfd, events, maxevents, timeout);
}

EXPORT int epoll_pwait(int epfd, struct epoll_event* events, int maxevents, int timeout, const sigset_t* mask)
{
    if (vcam_epoll_watches_virtual(epfd)) {
        const struct timespec t = ms_to_timespec(timeout);
        return vcam_epoll_wait(epfd, events, maxevents, timeout < 0 ? NULL : &t, mask);
    }
    return REAL(epoll_pwait, epoll_pwait_fn)(epfd, events, maxevents, timeout, mask);
}

EXPORT int epoll_pwait2(int epfd, struct epoll_event* events, int maxevents, const struct timespec* timeout,
                        const sigset_t* mask)
{
    if (vcam_epoll_watches_virtual(epfd))
        return vcam_epoll_wait(epfd, events, maxevents, timeout, mask);
    return REAL(epoll_pwait2, epoll_pwait2_fn)(epfd, events, maxevents, timeout, mask);
}

int vcam_real_epoll_pwait(int epfd, struct epoll_event* events, int maxevents, int timeout, const void* mask)
{
    return REAL(epoll_pwait, epoll_pwait_fn)(epfd, events, maxevents, timeout, (const sigset_t*)mask);
}

/* ---------------------------------------------------------------- tcflush */

/* A camera's command port is a pty, whose output "not yet sent" is whatever
 * the emulator's responder has not read yet; flushing it would drop a request
 * that a real line would have sent long ago, and more so the busier the
 * machine. So on a port the output queue counts as sent: only the input is
 * flushed. */
EXPORT int tcflush(int fd, int queue)
{
    if (queue != TCIFLUSH) {
        struct stat st;
        if (REAL(fstat, fstat_fn)(fd, &st) == 0 && S_ISCHR(st.st_mode) && vcam_device_is_port(st.st_rdev)) {
            if (queue == TCOFLUSH)
                return 0;
            queue = TCIFLUSH;
        }
    }
    return REAL(tcflush, tcflush_fn)(fd, queue);
}

/* ---------------------------------------------------------------- mmap */

EXPORT void* mmap(void* addr, size_t len, int prot, int flags, int fd, off_t off)
{
    if (fd >= 0 && vcam_fd_is_virtual(fd)) {
        int handled = 0;
        void* p = vcam_mmap_fd(addr, len, prot, flags, fd, off, &handled);
        if (handled)
            return p;
    }
    return REAL(mmap, mmap_fn)(addr, len, prot, flags, fd, off);
}

EXPORT void* mmap64(void* addr, size_t len, int prot, int flags, int fd, off_t off)
{
    return mmap(addr, len, prot, flags, fd, off);
}

void* vcam_real_mmap(void* addr, size_t len, int prot, int flags, int fd, off_t off)
{
    return REAL(mmap, mmap_fn)(addr, len, prot, flags, fd, off);
}

EXPORT int munmap(void* addr, size_t len)
{
    const int r = REAL(munmap, munmap_fn)(addr, len);
    if (r == 0)
        vcam_munmap_note(addr, len);
    return r;
}

int vcam_real_munmap(void* addr, size_t len)
{
    return REAL(munmap, munmap_fn)(addr, len);
}

/* ---------------------------------------------------------------- stat family */

/* Returns from the calling interposer when `path` is an emulated entry. */
#define VFS_STAT(path, st, follow)                                     \
    do {                                                               \
        if (vcam_path_may_be_virtual(path)) {                          \
            int handled_ = 0;                                          \
            const int r_ = vcam_vfs_stat(path, st, follow, &handled_); \
            if (handled_)                                              \
                return r_;                                             \
        }                                                              \
    } while (0)

EXPORT int stat(const char* path, struct stat* st)
{
    VFS_STAT(path, st, 1);
    return REAL(stat, stat_fn)(path, st);
}

int vcam_real_stat(const char* path, struct stat* st)
{
    return REAL(stat, stat_fn)(path, st);
}
int vcam_real_lstat(const char* path, struct stat* st)
{
    return REAL(lstat, stat_fn)(path, st);
}

EXPORT int stat64(const char* path, struct stat64* st)
{
    return stat(path, (struct stat*)st);
}

EXPORT int lstat(const char* path, struct stat* st)
{
    VFS_STAT(path, st, 0);
    return REAL(lstat, stat_fn)(path, st);
}

EXPORT int lstat64(const char* path, struct stat64* st)
{
    return lstat(path, (struct stat*)st);
}

EXPORT int fstat(int fd, struct stat* st)
{
    if (vcam_fd_is_virtual(fd)) {
        int handled = 0;
        const int r = vcam_fstat_fd(fd, st, &handled);
        if (handled)
            return r;
    }
    return REAL(fstat, fstat_fn)(fd, st);
}

EXPORT int fstat64(int fd, struct stat64* st)
{
    return fstat(fd, (struct stat*)st);
}

EXPORT int fstatat(int dirfd, const char* path, struct stat* st, int flags)
{
    VFS_STAT(path, st, !(flags & AT_SYMLINK_NOFOLLOW));
    if ((flags & AT_EMPTY_PATH) && path && path[0] == '\0' && vcam_fd_is_virtual(dirfd))
        return fstat(dirfd, st);
    return REAL(fstatat, fstatat_fn)(dirfd, path, st, flags);
}

EXPORT int fstatat64(int dirfd, const char* path, struct stat64* st, int flags)
{
    return fstatat(dirfd, path, (struct stat*)st, flags);
}

/* The versioned entry points of older binaries (before glibc 2.33). On
 * x86-64 and on AArch64 every version uses the kernel's struct stat, which
 * is also struct stat (AArch64 has the kernel's generic layout, with stat
 * and stat64 the same). Programs built against glibc 2.33 or later call the
 * plain names above on both. */
EXPORT int __xstat(int ver, const char* path, struct stat* st)
{
    (void)ver;
    return stat(path, st);
}
EXPORT int __xstat64(int ver, const char* path, struct stat64* st)
{
    (void)ver;
    return stat(path, (struct stat*)st);
}
EXPORT int __lxstat(int ver, const char* path, struct stat* st)
{
    (void)ver;
    return lstat(path, st);
}
EXPORT int __lxstat64(int ver, const char* path, struct stat64* st)
{
    (void)ver;
    return lstat(path, (struct stat*)st);
}
EXPORT int __fxstat(int ver, int fd, struct stat* st)
{
    (void)ver;
    return fstat(fd, st);
}
EXPORT int __fxstat64(int ver, int fd, struct stat64* st)
{
    (void)ver;
    return fstat(fd, (struct stat*)st);
}
EXPORT int __fxstatat(int ver, int dirfd, const char* path, struct stat* st, int flags)
{
    (void)ver;
    return fstatat(dirfd, path, st, flags);
}
EXPORT int __fxstatat64(int ver, int dirfd, const char* path, struct stat64* st, int flags)
{
    (void)ver;
    return fstatat(dirfd, path, (struct stat*)st, flags);
}

EXPORT int statx(int dirfd, const char* path, int flags, unsigned int mask, struct statx* stx)
{
    if (vcam_path_may_be_virtual(path)) {
        int handled = 0;
        const int r = vcam_vfs_statx(path, !(flags & AT_SYMLINK_NOFOLLOW), stx, &handled);
        if (handled)
            return r;
    }
    return REAL(statx, statx_fn)(dirfd, path, flags, mask, stx);
}

#define VFS_ACCESS(path, mode)                                     \
    do {                                                           \
        if (vcam_path_may_be_virtual(path)) {                      \
            int handled_ = 0;                                      \
            const int r_ = vcam_vfs_access(path, mode, &handled_); \
            if (handled_)                                          \
                return r_;                                         \
        }                                                          \
    } while (0)

EXPORT int access(const char* path, int mode)
{
    VFS_ACCESS(path, mode);
    return REAL(access, access_fn)(path, mode);
}

EXPORT int faccessat(int dirfd, const char* path, int mode, int flags)
{
    VFS_ACCESS(path, mode);
    return REAL(faccessat, faccessat_fn)(dirfd, path, mode, flags);
}

/* ---------------------------------------------------------------- readlink */

EXPORT ssize_t readlink(const char* path, char* buf, size_t size)
{
    if (vcam_path_may_be_virtual(path)) {
        int handled = 0;
        const long r = vcam_vfs_readlink(path, buf, size, &handled);
        if (handled)
            return r;
    }
    return REAL(readlink, readlink_fn)(path, buf, size);
}

EXPORT ssize_t __readlink_chk(const char* path, char* buf, size_t size, size_t buflen)
{
    (void)buflen;
    return readlink(path, buf, size);
}

EXPORT ssize_t readlinkat(int dirfd, const char* path, char* buf, size_t size)
{
    if (vcam_path_may_be_virtual(path)) {
        int handled = 0;
        const long r = vcam_vfs_readlink(path, buf, size, &handled);
        if (handled)
            return r;
    }
    return REAL(readlinkat, readlinkat_fn)(dirfd, path, buf, size);
}

EXPORT ssize_t __readlinkat_chk(int dirfd, const char* path, char* buf, size_t size, size_t buflen)
{
    (void)buflen;
    return readlinkat(dirfd, path, buf, size);
}

long vcam_real_readlink(const char* path, char* buf, size_t size)
{
    return REAL(readlink, readlink_fn)(path, buf, size);
}

/* ---------------------------------------------------------------- extended attributes */

/* Emulated entries have no extended attributes (ls -l asks for them).
 * Returns 1 for an emulated entry, -1 (errno set) when the path names none,
 * 0 when the path is not the emulator's. */
static int vfs_entry(const char* path, int follow)
{
    if (!vcam_path_may_be_virtual(path))
        return 0;
    struct stat st;
    int handled = 0;
    const int r = vcam_vfs_stat(path, &st, follow, &handled);
    if (!handled)
        return 0;
    return r == 0 ? 1 : -1;
}

typedef ssize_t (*getxattr_fn)(const char*, const char*, void*, size_t);
typedef ssize_t (*listxattr_fn)(const char*, char*, size_t);

EXPORT ssize_t getxattr(const char* path, const char* name, void* value, size_t size)
{
    const int v = vfs_entry(path, 1);
    if (v) {
        if (v > 0)
            errno = ENODATA;
        return -1;
    }
    return REAL(getxattr, getxattr_fn)(path, name, value, size);
}

EXPORT ssize_t lgetxattr(const char* path, const char* name, void* value, size_t size)
{
    const int v = vfs_entry(path, 0);
    if (v) {
        if (v > 0)
            errno = ENODATA;
        return -1;
    }
    return REAL(lgetxattr, getxattr_fn)(path, name, value, size);
}

EXPORT ssize_t listxattr(const char* path, char* list, size_t size)
{
    const int v = vfs_entry(path, 1);
    if (v)
        return v > 0 ? 0 : -1;
    return REAL(listxattr, listxattr_fn)(path, list, size);
}

EXPORT ssize_t llistxattr(const char* path, char* list, size_t size)
{
    const int v = vfs_entry(path, 0);
    if (v)
        return v > 0 ? 0 : -1;
    return REAL(llistxattr, listxattr_fn)(path, list, size);
}

/* ---------------------------------------------------------------- directories */

EXPORT DIR* opendir(const char* path)
{
    if (vcam_path_may_be_virtual(path)) {
        int handled = 0;
        DIR* d = (DIR*)vcam_vfs_opendir(path, &handled);
        if (handled)
            return d;
    }
    return REAL(opendir, opendir_fn)(path);
}

EXPORT struct dirent* readdir(DIR* d)
{
    if (vcam_dir_is_virtual(d)) {
        int handled = 0;
        struct dirent64* e = vcam_vfs_readdir(d, &handled);
        if (handled)
            return (struct dirent*)e; /* the same layout on 64-bit systems */
    }
    return REAL(readdir, readdir_fn)(d);
}

EXPORT struct dirent64* readdir64(DIR* d)
{
    if (vcam_dir_is_virtual(d)) {
        int handled = 0;
        struct dirent64* e = vcam_vfs_readdir(d, &handled);
        if (handled)
            return e;
    }
    return REAL(readdir64, readdir64_fn)(d);
}

EXPORT void rewinddir(DIR* d)
{
    if (vcam_dir_is_virtual(d))
        vcam_vfs_rewinddir(d);
    REAL(rewinddir, rewinddir_fn)(d);
}

EXPORT int closedir(DIR* d)
{
    if (vcam_dir_is_virtual(d))
        vcam_vfs_closedir(d);
    return REAL(closedir, closedir_fn)(d);
}

void* vcam_real_opendir(const char* path)
{
    return REAL(opendir, opendir_fn)(path);
}
struct dirent64* vcam_real_readdir64(void* d)
{
    return REAL(readdir64, readdir64_fn)((DIR*)d);
}
