// Port - the camera's command port: a pseudo-terminal whose slave the client
// opens, and the camera's side of the command protocol.
#pragma once

#include "vcam/VirtualCamera.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vcam {
namespace detail {

// A pty pair. The emulator keeps a slave descriptor of its own open so that
// the master never sees a hang-up between clients; the slave keeps the
// terminal defaults of the system (ICRNL included) until a client changes
// them.
class Port {
public:
    Port();
    ~Port();
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    bool ok() const { return master_ >= 0; }
    int master() const { return master_; }
    const std::string& path() const { return path_; }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
    unsigned long long device_ = 0;  // the slave's device number, registered while the port lives
};

// Splits the bytes received so far into request frames. Bytes before a head,
// and heads whose length byte or tail is impossible, are dropped one at a
// time; an incomplete frame stays in `rx`.
std::vector<std::vector<uint8_t>> TakeFrames(std::vector<uint8_t>& rx);

// True when the frame's checksum byte is the 8-bit sum of the bytes before it.
bool ChecksumOk(const std::vector<uint8_t>& frame);

// The camera's answer to one well-formed request, applied to `model`.
// Returns false when the camera does not answer.
bool Answer(const std::vector<uint8_t>& frame, Model& model, std::vector<uint8_t>* reply);

// One scheduled write of the responder: `delayMs` after the request.
struct Chunk {
    int delayMs;
    std::vector<uint8_t> bytes;
};
// How a reply travels under a port fault: nothing, later, in pieces, altered.
std::vector<Chunk> ApplyFault(std::vector<uint8_t> reply, PortFault fault, int ms);

// Builds a reply frame of `group` for `code` with `status` and `data`.
std::vector<uint8_t> BuildReply(uint8_t group, uint8_t code, uint8_t status, const std::vector<uint8_t>& data);

}  // namespace detail
}  // namespace vcam
