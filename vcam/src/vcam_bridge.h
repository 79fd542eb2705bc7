/* vcam_bridge.h - what the C library interposers ask the emulator. Every
 * function that takes `handled` sets it to 1 when the descriptor turned out
 * to be ours; otherwise the caller passes the call through. Results follow
 * the C library's convention (-1 and errno). */
#ifndef VCAM_BRIDGE_H
#define VCAM_BRIDGE_H

#include <stddef.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

struct statx;

/* Lock-free checks, safe at any time of the process's life. */
int vcam_path_is_virtual(const char* path);
int vcam_fd_is_virtual(int fd);
/* Whether `device` (an st_rdev) is the slave of a virtual camera's command
 * port. */
int vcam_device_is_port(unsigned long long device);

int vcam_open_node(const char* path, int flags);
int vcam_stat_node(const char* path, struct stat* st);
int vcam_fstat_fd(int fd, struct stat* st, int* handled);
int vcam_ioctl_fd(int fd, unsigned long request, void* arg, int* handled);
void* vcam_mmap_fd(void* addr, size_t len, int prot, int flags, int fd, off_t off, int* handled);
void vcam_munmap_note(void* addr, size_t len);
int vcam_close_fd(int fd, int* handled);
/* `newfd` is a duplicate of the virtual descriptor `oldfd`. */
void vcam_note_dup(int oldfd, int newfd);

/* How many descriptors are open on virtual nodes (lock-free). */
int vcam_virtual_fd_count(void);

/* The emulated file system entries around the nodes (DeviceFiles.cpp):
 * /dev/videoN, /sys/dev/char/81:N, /sys/class/video4linux and the device
 * directories. vcam_path_may_be_virtual is a lock-free test of the path's
 * prefix; the others set `handled` when the path is theirs. */
int vcam_path_may_be_virtual(const char* path);
int vcam_vfs_open(const char* path, int flags, unsigned mode, int* handled);
int vcam_vfs_stat(const char* path, struct stat* st, int follow, int* handled);
int vcam_vfs_statx(const char* path, int follow, struct statx* stx, int* handled);
int vcam_vfs_access(const char* path, int mode, int* handled);
long vcam_vfs_readlink(const char* path, char* buf, size_t size, int* handled);
void* vcam_vfs_opendir(const char* path, int* handled);
int vcam_dir_is_virtual(void* dir);
struct dirent64* vcam_vfs_readdir(void* dir, int* handled);
void vcam_vfs_rewinddir(void* dir);
void vcam_vfs_closedir(void* dir);

/* Readiness of virtual nodes (Readiness.cpp). Timeouts are durations, null
 * for none; sigmask as for ppoll. vcam_select leaves the time not slept in
 * `timeout`. */
struct pollfd;
struct epoll_event;
struct timespec;
int vcam_poll(struct pollfd* fds, unsigned long n, const struct timespec* timeout, const void* sigmask);
int vcam_select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, struct timespec* timeout,
                const void* sigmask);
int vcam_epoll_ctl(int epfd, int op, int fd, struct epoll_event* event);
int vcam_epoll_watches_virtual(int epfd);
int vcam_epoll_wait(int epfd, struct epoll_event* events, int maxevents, const struct timespec* timeout,
                    const void* sigmask);
/* `fd` was closed: forget what epoll knew of it. */
void vcam_epoll_forget(int fd);

/* The next definitions, for the emulator's own use. */
int vcam_real_close(int fd);
void* vcam_real_mmap(void* addr, size_t len, int prot, int flags, int fd, off_t off);
int vcam_real_munmap(void* addr, size_t len);
int vcam_real_open(const char* path, int flags, unsigned mode);
int vcam_real_stat(const char* path, struct stat* st);
int vcam_real_lstat(const char* path, struct stat* st);
long vcam_real_readlink(const char* path, char* buf, size_t size);
void* vcam_real_opendir(const char* path);
struct dirent64* vcam_real_readdir64(void* dir);
long vcam_real_read(int fd, void* buf, size_t n);
long vcam_real_write(int fd, const void* buf, size_t n);
int vcam_real_ppoll(struct pollfd* fds, unsigned long n, const struct timespec* timeout, const void* sigmask);
int vcam_real_epoll_ctl(int epfd, int op, int fd, struct epoll_event* event);
int vcam_real_epoll_pwait(int epfd, struct epoll_event* events, int maxevents, int timeout, const void* sigmask);

#ifdef __cplusplus
}
#endif

#endif
