#include "shutter.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace vcam {
namespace detail {

namespace {

// The FPA's ranges keep below 33.28 C (0x0D00 hundredths), whose high
// byte the command port's tty would change.
constexpr double kFpaStart = 31.25;       // without warm-up: the FPA temperature the model has always answered
constexpr double kWarmupFrom = 20.0;      // with warm-up: at power-on ...
constexpr double kWarmupRise = 13.0;      // ... rising by this much ...
constexpr double kWarmupSeconds = 240.0;  // ... with this time constant
constexpr double kMaxFpaFall = 40.0;      // the drift's cooling stops here
constexpr double kPatternShare = 0.25;    // the fixed pattern's amplitude per degree of drift rate and minute

// The fixed pattern: -1..1, column stripes and a coarser texture, so that
// neighbouring regions drift apart.
double Pattern(int x, int y)
{
    return static_cast<double>((x * 7 + (y / 4) * 13 + (x / 16) * 5) % 16) / 7.5 - 1.0;
}

}  // namespace

ShutterModel::ShutterModel(const CameraSetup& setup, Clock::time_point created)
    : setup_(setup),
      active_(setup.driftPerMinute > 0 || setup.fpaWarmup || setup.autoShutter > 0 || setup.shutterMs > 0),
      created_(created),
      fpaAtCorrection_(FpaAt(0))
{
}

double ShutterModel::Simulated(Clock::time_point now) const
{
    const double scale = setup_.timeScale > 0 ? setup_.timeScale : 1.0;
    return std::chrono::duration<double>(now - created_).count() * scale;
}

double ShutterModel::FpaAt(double simulated) const
{
    double fpa = setup_.fpaWarmup ? kWarmupFrom + kWarmupRise * (1.0 - std::exp(-simulated / kWarmupSeconds))
                                  : kFpaStart;
    fpa -= std::min(setup_.driftPerMinute / std::fabs(kFpaGain) * simulated / 60.0, kMaxFpaFall);
    return fpa;
}

double ShutterModel::FpaDegrees(Clock::time_point now) const
{
    return FpaAt(Simulated(now));
}

int16_t ShutterModel::FpaHundredths(Clock::time_point now) const
{
    int hundredths = static_cast<int>(std::lround(FpaDegrees(now) * 100));
    while ((hundredths & 0xFF) == 0x0D || ((hundredths >> 8) & 0xFF) == 0x0D)
        --hundredths;
    return static_cast<int16_t>(hundredths);
}

void ShutterModel::Begin(Clock::time_point now)
{
    // The drift starts again from the moment the shutter opens.
    closedUntil_ = now + std::chrono::milliseconds(setup_.shutterMs);
    correctedAt_ = Simulated(closedUntil_);
    fpaAtCorrection_ = FpaAt(correctedAt_);
    ++corrections_;
}

void ShutterModel::FollowTimer(Clock::time_point now)
{
    if (setup_.autoShutter > 0 && now >= closedUntil_ && Simulated(now) - correctedAt_ >= setup_.autoShutter)
        Begin(now);
}

FrameLook ShutterModel::Look(Clock::time_point now) const
{
    FrameLook look;
    if (!active_)
        return look;
    if (now < closedUntil_) {
        look.kind = setup_.shutterLook == ShutterLook::Flat ? FrameLook::Kind::Flat : FrameLook::Kind::Frozen;
        look.flatTenths = static_cast<int>(std::lround(setup_.shutterTemp * 10));
        return look;
    }
    const double simulated = Simulated(now);
    look.offsetTenths = static_cast<int>(std::lround((FpaAt(simulated) - fpaAtCorrection_) * kFpaGain * 10));
    look.patternTenths = kPatternShare * setup_.driftPerMinute * (simulated - correctedAt_) / 60.0 * 10;
    return look;
}

void ApplyLook(const FrameLook& look, int width, int height, bool withTemp, Formula f, uint8_t* dst, size_t bytes,
               std::vector<uint8_t>& last)
{
    if (look.kind == FrameLook::Kind::Frozen && !last.empty()) {
        std::memcpy(dst, last.data(), std::min(bytes, last.size()));
        return;
    }
    const size_t rowSamples = static_cast<size_t>(width) * (withTemp ? 2 : 1);
    const int rows = static_cast<int>(std::min<size_t>(height, bytes / (rowSamples * 2)));
    const uint16_t flatImage = ImageSample(look.flatTenths);
    const uint16_t flatRaw = static_cast<uint16_t>(RawSample(look.flatTenths, f));
    for (int y = 0; y < rows; ++y) {
        uint16_t* row = reinterpret_cast<uint16_t*>(dst) + rowSamples * static_cast<size_t>(y);
        for (int x = 0; x < width; ++x) {
            if (look.kind == FrameLook::Kind::Flat) {
                row[x] = flatImage;
                if (withTemp)
                    row[width + x] = flatRaw;
                continue;
            }
            const int delta = look.offsetTenths + static_cast<int>(std::lround(look.patternTenths * Pattern(x, y)));
            if (delta == 0)
                continue;
            row[x] = static_cast<uint16_t>(std::clamp(static_cast<int>(row[x]) + delta * 56, 0, 65535));
            if (withTemp) {
                const long long raw = static_cast<int16_t>(row[width + x]) +
                                      (static_cast<long long>(delta) * f.scale) / 10;
                row[width + x] = static_cast<uint16_t>(static_cast<int16_t>(std::clamp<long long>(raw, -32768, 32767)));
            }
        }
    }
    if (look.kind == FrameLook::Kind::Scene)
        last.assign(dst, dst + bytes);
}

}  // namespace detail
}  // namespace vcam
