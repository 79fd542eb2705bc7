/* vcam_bridge.h - what the C library interposers ask the emulator. Every
 * function that takes `handled` sets it to 1 when the descriptor turned out
 * to be ours; otherwise the caller passes the call through. Results follow
 * the C library's convention (-1 and errno). */
#ifndef VCAM_BRIDGE_H
#define VCAM_BRIDGE_H

#include <stddef.h>
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
int vcam_statx_node(const char* path, struct statx* stx);
int vcam_access_node(const char* path, int mode);
int vcam_fstat_fd(int fd, struct stat* st, int* handled);
int vcam_ioctl_fd(int fd, unsigned long request, void* arg, int* handled);
void* vcam_mmap_fd(void* addr, size_t len, int prot, int flags, int fd, off_t off, int* handled);
void vcam_munmap_note(void* addr, size_t len);
int vcam_close_fd(int fd, int* handled);

/* The next definitions, for the emulator's own descriptors and mappings. */
int vcam_real_close(int fd);
void* vcam_real_mmap(void* addr, size_t len, int prot, int flags, int fd, off_t off);
int vcam_real_munmap(void* addr, size_t len);

#ifdef __cplusplus
}
#endif

#endif
