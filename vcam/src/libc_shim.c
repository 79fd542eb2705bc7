/* libc_shim - the C library entry points that open, examine, drive and map a
 * V4L2 node. Calls that concern a virtual node or a descriptor open on one go
 * to the emulator (vcam_bridge.h); everything else goes straight to the next
 * definition in the lookup order (the C library, or a sanitizer runtime's
 * interceptor), found lazily with dlsym(RTLD_NEXT).
 *
 * These run from the first instruction of the process on, before any
 * constructor: they allocate nothing and take no lock on the pass-through
 * path, and the pointer caches are plain atomics. */
#define _GNU_SOURCE
#include "vcam_bridge.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stddef.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#define EXPORT __attribute__((visibility("default")))

static void* next_symbol(void** cache, const char* name) {
    void* p = __atomic_load_n(cache, __ATOMIC_ACQUIRE);
    if (!p) {
        p = dlsym(RTLD_NEXT, name);
        __atomic_store_n(cache, p, __ATOMIC_RELEASE);
    }
    return p;
}

/* REAL(name, type) evaluates to the next definition of `name`. */
#define REAL(name, type)                         \
    ({                                           \
        static void* cache_##name;               \
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

static int needs_mode(int flags) { return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE; }

/* ---------------------------------------------------------------- open */

EXPORT int open(const char* path, int flags, ...) {
    mode_t mode = 0;
    if (needs_mode(flags)) {
        va_list ap;
        va_start(ap, flags);
        mode = (mode_t)va_arg(ap, int);
        va_end(ap);
    }
    if (vcam_path_is_virtual(path)) return vcam_open_node(path, flags);
    return REAL(open, open_fn)(path, flags, mode);
}

EXPORT int open64(const char* path, int flags, ...) {
    mode_t mode = 0;
    if (needs_mode(flags)) {
        va_list ap;
        va_start(ap, flags);
        mode = (mode_t)va_arg(ap, int);
        va_end(ap);
    }
    if (vcam_path_is_virtual(path)) return vcam_open_node(path, flags);
    return REAL(open64, open_fn)(path, flags, mode);
}

EXPORT int openat(int dirfd, const char* path, int flags, ...) {
    mode_t mode = 0;
    if (needs_mode(flags)) {
        va_list ap;
        va_start(ap, flags);
        mode = (mode_t)va_arg(ap, int);
        va_end(ap);
    }
    if (vcam_path_is_virtual(path)) return vcam_open_node(path, flags);
    return REAL(openat, openat_fn)(dirfd, path, flags, mode);
}

EXPORT int openat64(int dirfd, const char* path, int flags, ...) {
    mode_t mode = 0;
    if (needs_mode(flags)) {
        va_list ap;
        va_start(ap, flags);
        mode = (mode_t)va_arg(ap, int);
        va_end(ap);
    }
    if (vcam_path_is_virtual(path)) return vcam_open_node(path, flags);
    return REAL(openat64, openat_fn)(dirfd, path, flags, mode);
}

/* The fortified variants the compiler emits for open calls without a mode. */
EXPORT int __open_2(const char* path, int flags) {
    if (vcam_path_is_virtual(path)) return vcam_open_node(path, flags);
    return REAL(__open_2, open2_fn)(path, flags);
}

EXPORT int __open64_2(const char* path, int flags) {
    if (vcam_path_is_virtual(path)) return vcam_open_node(path, flags);
    return REAL(__open64_2, open2_fn)(path, flags);
}

EXPORT int __openat_2(int dirfd, const char* path, int flags) {
    if (vcam_path_is_virtual(path)) return vcam_open_node(path, flags);
    return REAL(__openat_2, openat2_fn)(dirfd, path, flags);
}

EXPORT int __openat64_2(int dirfd, const char* path, int flags) {
    if (vcam_path_is_virtual(path)) return vcam_open_node(path, flags);
    return REAL(__openat64_2, openat2_fn)(dirfd, path, flags);
}

/* ---------------------------------------------------------------- close, ioctl */

EXPORT int close(int fd) {
    if (vcam_fd_is_virtual(fd)) {
        int handled = 0;
        const int r = vcam_close_fd(fd, &handled);
        if (handled) return r;
    }
    return REAL(close, close_fn)(fd);
}

int vcam_real_close(int fd) { return REAL(close, close_fn)(fd); }

EXPORT int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (vcam_fd_is_virtual(fd)) {
        int handled = 0;
        const int r = vcam_ioctl_fd(fd, request, arg, &handled);
        if (handled) return r;
    }
    return REAL(ioctl, ioctl_fn)(fd, request, arg);
}

/* ---------------------------------------------------------------- tcflush */

/* A camera's command port is a pty, whose output "not yet sent" is whatever
 * the emulator's responder has not read yet; flushing it would drop a request
 * that a real line would have sent long ago, and more so the busier the
 * machine. So on a port the output queue counts as sent: only the input is
 * flushed. */
EXPORT int tcflush(int fd, int queue) {
    if (queue != TCIFLUSH) {
        struct stat st;
        if (REAL(fstat, fstat_fn)(fd, &st) == 0 && S_ISCHR(st.st_mode) && vcam_device_is_port(st.st_rdev)) {
            if (queue == TCOFLUSH) return 0;
            queue = TCIFLUSH;
        }
    }
    return REAL(tcflush, tcflush_fn)(fd, queue);
}

/* ---------------------------------------------------------------- mmap */

EXPORT void* mmap(void* addr, size_t len, int prot, int flags, int fd, off_t off) {
    if (fd >= 0 && vcam_fd_is_virtual(fd)) {
        int handled = 0;
        void* p = vcam_mmap_fd(addr, len, prot, flags, fd, off, &handled);
        if (handled) return p;
    }
    return REAL(mmap, mmap_fn)(addr, len, prot, flags, fd, off);
}

EXPORT void* mmap64(void* addr, size_t len, int prot, int flags, int fd, off_t off) {
    return mmap(addr, len, prot, flags, fd, off);
}

void* vcam_real_mmap(void* addr, size_t len, int prot, int flags, int fd, off_t off) {
    return REAL(mmap, mmap_fn)(addr, len, prot, flags, fd, off);
}

EXPORT int munmap(void* addr, size_t len) {
    const int r = REAL(munmap, munmap_fn)(addr, len);
    if (r == 0) vcam_munmap_note(addr, len);
    return r;
}

int vcam_real_munmap(void* addr, size_t len) { return REAL(munmap, munmap_fn)(addr, len); }

/* ---------------------------------------------------------------- stat family */

EXPORT int stat(const char* path, struct stat* st) {
    if (vcam_path_is_virtual(path)) return vcam_stat_node(path, st);
    return REAL(stat, stat_fn)(path, st);
}

EXPORT int stat64(const char* path, struct stat64* st) { return stat(path, (struct stat*)st); }

EXPORT int lstat(const char* path, struct stat* st) {
    if (vcam_path_is_virtual(path)) return vcam_stat_node(path, st);
    return REAL(lstat, stat_fn)(path, st);
}

EXPORT int lstat64(const char* path, struct stat64* st) { return lstat(path, (struct stat*)st); }

EXPORT int fstat(int fd, struct stat* st) {
    if (vcam_fd_is_virtual(fd)) {
        int handled = 0;
        const int r = vcam_fstat_fd(fd, st, &handled);
        if (handled) return r;
    }
    return REAL(fstat, fstat_fn)(fd, st);
}

EXPORT int fstat64(int fd, struct stat64* st) { return fstat(fd, (struct stat*)st); }

EXPORT int fstatat(int dirfd, const char* path, struct stat* st, int flags) {
    if (vcam_path_is_virtual(path)) return vcam_stat_node(path, st);
    if ((flags & AT_EMPTY_PATH) && path && path[0] == '\0' && vcam_fd_is_virtual(dirfd)) return fstat(dirfd, st);
    return REAL(fstatat, fstatat_fn)(dirfd, path, st, flags);
}

EXPORT int fstatat64(int dirfd, const char* path, struct stat64* st, int flags) {
    return fstatat(dirfd, path, (struct stat*)st, flags);
}

/* The versioned entry points of older binaries (before glibc 2.33). On
 * x86-64 and on AArch64 every version uses the kernel's struct stat, which
 * is also struct stat (AArch64 has the kernel's generic layout, with stat
 * and stat64 the same). Programs built against glibc 2.33 or later call the
 * plain names above on both. */
EXPORT int __xstat(int ver, const char* path, struct stat* st) { (void)ver; return stat(path, st); }
EXPORT int __xstat64(int ver, const char* path, struct stat64* st) { (void)ver; return stat(path, (struct stat*)st); }
EXPORT int __lxstat(int ver, const char* path, struct stat* st) { (void)ver; return lstat(path, st); }
EXPORT int __lxstat64(int ver, const char* path, struct stat64* st) { (void)ver; return lstat(path, (struct stat*)st); }
EXPORT int __fxstat(int ver, int fd, struct stat* st) { (void)ver; return fstat(fd, st); }
EXPORT int __fxstat64(int ver, int fd, struct stat64* st) { (void)ver; return fstat(fd, (struct stat*)st); }
EXPORT int __fxstatat(int ver, int dirfd, const char* path, struct stat* st, int flags) {
    (void)ver;
    return fstatat(dirfd, path, st, flags);
}
EXPORT int __fxstatat64(int ver, int dirfd, const char* path, struct stat64* st, int flags) {
    (void)ver;
    return fstatat(dirfd, path, (struct stat*)st, flags);
}

EXPORT int statx(int dirfd, const char* path, int flags, unsigned int mask, struct statx* stx) {
    if (vcam_path_is_virtual(path)) return vcam_statx_node(path, stx);
    return REAL(statx, statx_fn)(dirfd, path, flags, mask, stx);
}

EXPORT int access(const char* path, int mode) {
    if (vcam_path_is_virtual(path)) return vcam_access_node(path, mode);
    return REAL(access, access_fn)(path, mode);
}

EXPORT int faccessat(int dirfd, const char* path, int mode, int flags) {
    if (vcam_path_is_virtual(path)) return vcam_access_node(path, mode);
    return REAL(faccessat, faccessat_fn)(dirfd, path, mode, flags);
}
