// tcp_progress.cpp - the kernel's own struct tcp_info (linux/tcp.h), which
// has the acknowledged byte count that glibc's copy in netinet/tcp.h lacks;
// kept apart from the files that include the latter.
#include "tcp_progress.h"

#include <linux/in.h>
#include <linux/sockios.h>
#include <linux/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

namespace vivatool {

bool ReadTcpProgress(int fd, TcpProgress& progress)
{
    tcp_info info{};
    socklen_t size = sizeof info;
    int unsent = 0;
    if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0 || ioctl(fd, SIOCOUTQ, &unsent) != 0)
        return false;
    progress.acked = info.tcpi_bytes_acked;
    progress.unsent = unsent;
    return true;
}

}  // namespace vivatool
