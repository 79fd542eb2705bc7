// websocket_send.h - a binary WebSocket message sent from a buffer that
// many clients share, without copying it for each: the frame header of RFC
// 6455 (section 5.2; a server's frames are not masked) and the payload go
// out in one sendmsg() of two pieces.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vivatool::serve {

// The header of an unmasked, final binary frame of `size` bytes into `out`
// (at least 10 bytes); returns its length (2, 4 or 10).
size_t BinaryFrameHeader(uint64_t size, unsigned char* out);

// Sends the frame on the connected socket `fd` (blocking, with its send
// timeout), header and payload, until all of it is sent. Throws
// Poco::TimeoutException when the send timeout passes with the client
// taking nothing, and Poco::IOException (with errno as its code) when the
// connection fails.
void SendBinaryFrame(int fd, const void* payload, size_t size);

}  // namespace vivatool::serve
