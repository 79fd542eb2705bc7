#include "port.h"
#include "vcam_bridge.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>

namespace vcam {
namespace detail {

namespace {

constexpr uint8_t kHead = 0xAA;
constexpr uint8_t kReplyHead = 0x55;
constexpr uint8_t kStatusOk = 0x33;
constexpr uint8_t kStatusError = 0x45;
constexpr uint8_t kAck = 0x01;
constexpr uint8_t kNack = 0x00;

// The device numbers of the live ports' slaves, for the tcflush interposer:
// read without a lock at any time, written by the threads that create and
// destroy cameras. A zero slot is free.
constexpr int kMaxPorts = 256;
std::atomic<unsigned long long> g_portDevices[kMaxPorts];

void RegisterPortDevice(unsigned long long device)
{
    for (auto& slot : g_portDevices) {
        unsigned long long expected = 0;
        if (slot.compare_exchange_strong(expected, device))
            return;
    }
    // More live ports than slots: the port keeps the pty's own flush.
}

void UnregisterPortDevice(unsigned long long device)
{
    for (auto& slot : g_portDevices) {
        unsigned long long expected = device;
        if (slot.compare_exchange_strong(expected, 0))
            return;
    }
}

enum class Width { U8, U16, S16, S32 };

size_t Bytes(Width w)
{
    switch (w) {
    case Width::U8:
        return 1;
    case Width::U16:
    case Width::S16:
        return 2;
    case Width::S32:
        return 4;
    }
    return 0;
}

std::vector<uint8_t> Encode(int32_t v, Width w)
{
    std::vector<uint8_t> out;
    for (size_t i = 0; i < Bytes(w); ++i)
        out.push_back(static_cast<uint8_t>(static_cast<uint32_t>(v) >> (8 * i)));
    return out;
}

int32_t Decode(const uint8_t* p, Width w)
{
    switch (w) {
    case Width::U8:
        return p[0];
    case Width::U16:
        return p[0] | (p[1] << 8);
    case Width::S16:
        return static_cast<int16_t>(p[0] | (p[1] << 8));
    case Width::S32:
        return static_cast<int32_t>(p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24));
    }
    return 0;
}

bool InRange(int32_t v, int32_t lo, int32_t hi)
{
    return v >= lo && v <= hi;
}

// One value the camera reads and (when setOp is non-zero) writes. A command
// that needs a capability bit answers with the error status while the
// capability report has it clear.
struct Setting {
    uint8_t group;
    uint8_t code;
    uint8_t setOp;  // op byte of a setting request; 0: read only
    Width width;
    int32_t (*get)(const Model&);
    bool (*set)(Model&, int32_t);  // false: value refused (acknowledged with 00)
    int capByte;                   // 0, 7 or 15
    int capBit;
};

int32_t Get(int Model::*field, const Model& m)
{
    return m.*field;
}

template <int I>
int32_t GetTuning(const Model& m)
{
    return m.tuning[I];
}
template <int I>
bool SetTuning(Model& m, int32_t v)
{
    m.tuning[I] = v;
    return true;
}
template <int I>
int32_t GetEnv(const Model& m)
{
    return m.env[I];
}
template <int I>
bool SetEnv(Model& m, int32_t v)
{
    m.env[I] = v;
    return true;
}
// Emissivity and transmittance are fractions: above 0, at most 1.
template <int I>
bool SetFraction(Model& m, int32_t v)
{
    if (!InRange(v, 1, 10000))
        return false;
    m.env[I] = v;
    return true;
}

const Setting kSettings[] = {
    {0x01, 0x42, 0x02, Width::U8, [](const Model& m) { return Get(&Model::palette, m); },
     [](Model& m, int32_t v) {
         if (!InRange(v, 0, 15))
             return false;
         m.palette = v;
         return true;
     },
     0, 0},
    {0x01, 0x19, 0x01, Width::U8, [](const Model& m) { return Get(&Model::imageLevel, m); },
     [](Model& m, int32_t v) {
         m.imageLevel = v;
         return true;
     },
     0, 0},
    {0x01, 0xC3, 0x00, Width::S16, [](const Model& m) { return int32_t{m.fpaTemp}; }, nullptr, 0, 0},
    {0x01, 0x7C, 0x00, Width::S16, [](const Model& m) { return int32_t{m.cameraTemp}; }, nullptr, 0, 0},
    // Image tuning, primary codes (capability byte 7) and alternate codes (byte 15).
    {0x01, 0x1E, 0x02, Width::U8, GetTuning<0>, SetTuning<0>, 7, 1},
    {0x01, 0x1D, 0x02, Width::U8, GetTuning<1>, SetTuning<1>, 7, 2},
    {0x01, 0x24, 0x01, Width::U16, GetTuning<2>, SetTuning<2>, 7, 3},
    {0x01, 0x26, 0x01, Width::U8, GetTuning<3>, SetTuning<3>, 7, 4},
    {0x01, 0x05, 0x01, Width::U8, GetTuning<4>, SetTuning<4>, 7, 5},
    {0x01, 0x21, 0x01, Width::U8, GetTuning<5>, SetTuning<5>, 7, 6},
    {0x01, 0x38, 0x02, Width::U8, GetTuning<0>, SetTuning<0>, 15, 3},
    {0x01, 0x39, 0x02, Width::U8, GetTuning<1>, SetTuning<1>, 15, 4},
    {0x01, 0x37, 0x01, Width::U16, GetTuning<2>, SetTuning<2>, 15, 2},
    {0x01, 0x36, 0x01, Width::U8, GetTuning<3>, SetTuning<3>, 15, 1},
    {0x01, 0x3A, 0x01, Width::U8, GetTuning<4>, SetTuning<4>, 15, 5},
    // Radiometry.
    {0x07, 0x01, 0x01, Width::U8, [](const Model& m) { return Get(&Model::tempLevelCode, m); },
     [](Model& m, int32_t v) {
         if (v != 0 && v != 1 && v != 3)
             return false;
         m.tempLevelCode = v;
         return true;
     },
     0, 0},
    {0x07, 0x02, 0x01, Width::U8, [](const Model& m) { return Get(&Model::tempUnit, m); },
     [](Model& m, int32_t v) {
         if (!InRange(v, 0, 2))
             return false;
         m.tempUnit = v;
         return true;
     },
     0, 0},
    {0x07, 0x10, 0x01, Width::S32, GetEnv<0>, SetEnv<0>, 0, 0},
    {0x07, 0x13, 0x01, Width::S32, GetEnv<1>, SetEnv<1>, 0, 0},
    {0x07, 0x12, 0x01, Width::S32, GetEnv<2>, SetFraction<2>, 0, 0},
    {0x07, 0x0F, 0x01, Width::S32, GetEnv<3>, SetEnv<3>, 0, 0},
    {0x07, 0x11, 0x01, Width::S32, GetEnv<4>, SetFraction<4>, 0, 0},
};

constexpr uint8_t kShutter = 0x11;     // group 01, op 02, data 01
constexpr uint8_t kCapability = 0x12;  // group 01, query
constexpr uint8_t kFormula = 0x62;     // group 07, query with the level byte

bool CapabilityHas(const Model& m, int byte, int bit)
{
    if (byte == 0)
        return true;
    const uint8_t v = byte == 7 ? m.capByte7 : m.capByte15;
    return (v >> bit) & 1;
}

// Index of the formula for a level byte: codes 0 and 1 as they are, code 3
// also under 2 (the level as an application numbers it).
int FormulaIndex(int level)
{
    if (level == 0 || level == 1)
        return level;
    if (level == 2 || level == 3)
        return 3;
    return -1;
}

std::vector<uint8_t> CapabilityReport(const Model& m)
{
    // Bytes 4 to 15 of the reply: firmware version 1.0.0, the capability
    // bytes at 7 and 15, the rest reserved.
    std::vector<uint8_t> data(12, 0);
    data[0] = 1;
    data[7 - 4] = m.capByte7;
    data[15 - 4] = m.capByte15;
    return data;
}

}  // namespace

Port::Port()
{
    int fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return;
    char name[128];
    if (grantpt(fd) != 0 || unlockpt(fd) != 0 || ptsname_r(fd, name, sizeof name) != 0) {
        close(fd);
        return;
    }
    const int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        close(fd);
        return;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    master_ = fd;
    slave_ = slave;
    path_ = name;
    struct stat st;
    if (fstat(slave, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev != 0) {
        device_ = st.st_rdev;
        RegisterPortDevice(device_);
    }
}

Port::~Port()
{
    if (device_ != 0)
        UnregisterPortDevice(device_);
    if (slave_ >= 0)
        close(slave_);
    if (master_ >= 0)
        close(master_);
}

bool ChecksumOk(const std::vector<uint8_t>& frame)
{
    if (frame.size() < 4)
        return false;
    uint8_t sum = 0;
    for (size_t i = 0; i + 3 < frame.size(); ++i)
        sum = static_cast<uint8_t>(sum + frame[i]);
    return sum == frame[frame.size() - 3];
}

std::vector<std::vector<uint8_t>> TakeFrames(std::vector<uint8_t>& rx)
{
    std::vector<std::vector<uint8_t>> frames;
    size_t pos = 0;
    while (pos < rx.size()) {
        if (rx[pos] != kHead) {
            ++pos;
            continue;
        }
        if (rx.size() - pos < 2)
            break;
        const uint8_t len = rx[pos + 1];
        if (len != 4 && len != 5 && len != 6 && len != 8) {
            ++pos;
            continue;
        }
        const size_t total = len + 4u;
        if (rx.size() - pos < total)
            break;
        if (rx[pos + total - 2] != 0xEB || rx[pos + total - 1] != kHead) {
            ++pos;
            continue;
        }
        frames.emplace_back(rx.begin() + static_cast<long>(pos), rx.begin() + static_cast<long>(pos + total));
        pos += total;
    }
    rx.erase(rx.begin(), rx.begin() + static_cast<long>(pos));
    return frames;
}

std::vector<uint8_t> BuildReply(uint8_t group, uint8_t code, uint8_t status, const std::vector<uint8_t>& data)
{
    std::vector<uint8_t> r = {kReplyHead, 0};
    if (group == 0x07)
        r.push_back(0x07);
    r.push_back(code);
    r.push_back(status);
    r.insert(r.end(), data.begin(), data.end());
    r[1] = static_cast<uint8_t>(r.size() - 2 + 1);  // bytes from byte 2 through the checksum
    uint8_t sum = 0;
    for (uint8_t b : r)
        sum = static_cast<uint8_t>(sum + b);
    r.push_back(sum);
    r.push_back(0xEB);
    r.push_back(kHead);
    return r;
}

bool Answer(const std::vector<uint8_t>& frame, Model& model, std::vector<uint8_t>* reply)
{
    if (frame.size() < 8 || !ChecksumOk(frame))
        return false;
    const uint8_t group = frame[2];
    const uint8_t code = frame[3];
    const uint8_t op = frame[4];
    const size_t dataLen = frame.size() - 8;
    const uint8_t* data = frame.data() + 5;
    if (group != 0x01 && group != 0x07)
        return false;
    auto error = [&] {
        *reply = BuildReply(group, code, kStatusError, {});
        return true;
    };
    auto ack = [&](bool ok) {
        *reply = BuildReply(group, code, kStatusOk, {ok ? kAck : kNack});
        return true;
    };

    if (group == 0x01 && code == kShutter) {
        if (op != 0x02 || dataLen != 1)
            return error();
        if (data[0] != 0x01)
            return ack(false);
        model.shutterCount++;
        return ack(true);
    }
    if (group == 0x01 && code == kCapability) {
        if (op != 0x00 || dataLen != 0)
            return error();
        *reply = BuildReply(group, code, kStatusOk, CapabilityReport(model));
        return true;
    }
    if (group == 0x07 && code == kFormula) {
        if (op != 0x00 || dataLen != 1)
            return error();
        const int index = FormulaIndex(data[0]);
        if (index < 0)
            return error();
        std::vector<uint8_t> out = Encode(model.scale[index], Width::U16);
        const std::vector<uint8_t> off = Encode(model.offset[index], Width::S16);
        out.insert(out.end(), off.begin(), off.end());
        *reply = BuildReply(group, code, kStatusOk, out);
        return true;
    }
    for (const Setting& s : kSettings) {
        if (s.group != group || s.code != code)
            continue;
        if (!CapabilityHas(model, s.capByte, s.capBit))
            return error();
        if (op == 0x00) {
            if (dataLen != 0)
                return error();
            *reply = BuildReply(group, code, kStatusOk, Encode(s.get(model), s.width));
            return true;
        }
        if (s.setOp == 0 || op != s.setOp || dataLen != Bytes(s.width))
            return error();
        return ack(s.set(model, Decode(data, s.width)));
    }
    return error();
}

std::vector<Chunk> ApplyFault(std::vector<uint8_t> reply, PortFault fault, int ms)
{
    const bool group7 = reply.size() > 2 && reply[2] == 0x07 && reply.size() >= 9;
    const size_t codeAt = group7 ? 3 : 2;
    const size_t statusAt = codeAt + 1;
    auto resum = [&reply] {
        uint8_t sum = 0;
        for (size_t i = 0; i + 3 < reply.size(); ++i)
            sum = static_cast<uint8_t>(sum + reply[i]);
        reply[reply.size() - 3] = sum;
    };
    switch (fault) {
    case PortFault::None:
        return {{0, reply}};
    case PortFault::Silence:
        return {};
    case PortFault::Delay:
    case PortFault::Late:
        return {{ms, reply}};
    case PortFault::WrongEcho:
        reply[codeAt] = static_cast<uint8_t>(reply[codeAt] + 1);
        resum();
        return {{0, reply}};
    case PortFault::WrongStatus:
        reply[statusAt] = kStatusError;
        resum();
        return {{0, reply}};
    case PortFault::NoAck:
        // Only a settings reply (status and a single data byte) changes.
        if (reply.size() == statusAt + 5 && reply[statusAt + 1] == kAck) {
            reply[statusAt + 1] = kNack;
            resum();
        }
        return {{0, reply}};
    case PortFault::Split:
        return {{0, std::vector<uint8_t>(reply.begin(), reply.begin() + 3)},
                {ms, std::vector<uint8_t>(reply.begin() + 3, reply.end())}};
    case PortFault::Garbage: {
        std::vector<uint8_t> out = {0x13, 0x00, 0xFF};
        out.insert(out.end(), reply.begin(), reply.end());
        return {{0, out}};
    }
    case PortFault::CarriageReturn:
        reply[1] = 0x0D;
        resum();
        return {{0, reply}};
    }
    return {{0, reply}};
}

}  // namespace detail

}  // namespace vcam

int vcam_device_is_port(unsigned long long device)
{
    if (device == 0)
        return 0;
    for (auto& slot : vcam::detail::g_portDevices)
        if (slot.load(std::memory_order_acquire) == device)
            return 1;
    return 0;
}
