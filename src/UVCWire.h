// UVCWire - the camera family's command wire shared by its source files:
// the commands that more than one job sends and the little-endian fields of
// replies. Internal to the library.
#pragma once

#include "UVCDevCtrl.h"

#include <cstdint>

namespace uvcwire {

using Command = UVCDevCtrl::Command;

// Reply time-outs in milliseconds, then the commands: group, code, op, time-out.
constexpr int kShortTimeout = 1000;
constexpr int kShutterTimeout = 10000;
constexpr int kTempLevelTimeout = 100000;

constexpr Command kCapabilities{0x01, 0x12, 0x00, kShortTimeout};
constexpr Command kFormula{0x07, 0x62, 0x00, kShortTimeout};
constexpr Command kShutter{0x01, 0x11, 0x02, kShutterTimeout};
constexpr Command kPaletteGet{0x01, 0x42, 0x00, kShortTimeout};
constexpr Command kPaletteSet{0x01, 0x42, 0x02, kShortTimeout};
constexpr Command kTempLevelGet{0x07, 0x01, 0x00, kTempLevelTimeout};
constexpr Command kTempLevelSet{0x07, 0x01, 0x01, kTempLevelTimeout};
constexpr Command kFpaTemp{0x01, 0xC3, 0x00, kShortTimeout};
constexpr Command kCameraTemp{0x01, 0x7C, 0x00, kShortTimeout};
constexpr Command kTempUnitGet{0x07, 0x02, 0x00, kShortTimeout};
constexpr Command kTempUnitSet{0x07, 0x02, 0x01, kShortTimeout};
constexpr Command kImageLevelGet{0x01, 0x19, 0x00, kShortTimeout};
constexpr Command kImageLevelSet{0x01, 0x19, 0x01, kShortTimeout};

inline int32_t LittleEndian32(const uint8_t* p)
{
    const uint32_t bits = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    return static_cast<int32_t>(bits);
}

inline uint16_t LittleEndian16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

}  // namespace uvcwire
