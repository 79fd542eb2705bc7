// tcp_progress.h - whether the peer of a TCP socket takes what is sent to it.
#pragma once

#include <cstdint>

namespace vivatool {

// What a connected TCP socket has sent, as the kernel counts it.
struct TcpProgress {
    uint64_t acked = 0;  // bytes the peer acknowledged since the connection began
    int unsent = 0;      // bytes waiting in the send queue
};

// False when `fd` is not a TCP socket or the kernel does not say.
bool ReadTcpProgress(int fd, TcpProgress& progress);

}  // namespace vivatool
