#include "websocket_send.h"

#include <Poco/Exception.h>

#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>
#include <cstring>

namespace vivatool::serve {

size_t BinaryFrameHeader(uint64_t size, unsigned char* out)
{
    out[0] = 0x82;  // FIN, opcode 2 (binary)
    if (size < 126) {
        out[1] = static_cast<unsigned char>(size);
        return 2;
    }
    // 126: the length in the next 2 bytes, 127: in the next 8, big-endian.
    const size_t bytes = size <= 0xFFFF ? 2 : 8;
    out[1] = bytes == 2 ? 126 : 127;
    for (size_t i = 0; i < bytes; ++i)
        out[2 + i] = static_cast<unsigned char>(size >> (8 * (bytes - 1 - i)));
    return 2 + bytes;
}

void SendBinaryFrame(int fd, const void* payload, size_t size)
{
    unsigned char header[10];
    iovec pieces[2];
    pieces[0].iov_base = header;
    pieces[0].iov_len = BinaryFrameHeader(size, header);
    pieces[1].iov_base = const_cast<void*>(payload);
    pieces[1].iov_len = size;
    msghdr message{};
    message.msg_iov = pieces;
    message.msg_iovlen = 2;
    while (message.msg_iovlen > 0) {
        const ssize_t sent = sendmsg(fd, &message, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                throw Poco::TimeoutException("the client took nothing for the send timeout");
            throw Poco::IOException(std::strerror(errno), errno);
        }
        // Past what was sent: whole pieces, then into the next.
        size_t left = static_cast<size_t>(sent);
        while (message.msg_iovlen > 0 && left >= message.msg_iov[0].iov_len) {
            left -= message.msg_iov[0].iov_len;
            ++message.msg_iov;
            --message.msg_iovlen;
        }
        if (message.msg_iovlen > 0) {
            message.msg_iov[0].iov_base = static_cast<char*>(message.msg_iov[0].iov_base) + left;
            message.msg_iov[0].iov_len -= left;
        }
    }
}

}  // namespace vivatool::serve
