// Shutter - the detector's drift between shutter corrections, and what the
// camera shows while its shutter is closed.
//
// A microbolometer's readings wander between corrections: an offset that
// follows the change of the detector's (FPA) temperature since the last
// correction, and a fixed pattern that grows with the time since it. A
// correction closes the shutter for a moment (the frames freeze on the last
// picture or show the shutter's flat field) and resets both. The camera
// corrects when asked on its command port, and, with an automatic period, on
// its own without telling the host.
//
// Time here is the camera's simulated time: the real time since the camera
// was made, times CameraSetup::timeScale, so that a test sees minutes of
// drift in seconds. A correction's duration is real time.
#pragma once

#include "scene.h"
#include "vcam/VirtualCamera.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vcam {
namespace detail {

// Reading degrees per degree of FPA change since the last correction: the
// readings rise as the detector cools.
constexpr double kFpaGain = -1.0;

// What one frame shows, decided under the emulator's lock and drawn without it.
struct FrameLook {
    enum class Kind { Scene, Frozen, Flat } kind = Kind::Scene;
    int offsetTenths = 0;      // added to every pixel of the scene
    double patternTenths = 0;  // the fixed pattern's amplitude
    int flatTenths = 0;        // Flat: the shutter's reading everywhere
};

// A camera's correction state. Guarded by the emulator's lock.
class ShutterModel {
public:
    using Clock = std::chrono::steady_clock;

    ShutterModel(const CameraSetup& setup, Clock::time_point created);

    // Whether the setup asks for any of it; without, frames and commands are
    // as they always were.
    bool active() const { return active_; }
    bool visible() const { return setup_.shutterMs > 0; }
    // The detector's temperature now, in degrees (warm-up curve and drift).
    double FpaDegrees(Clock::time_point now) const;
    // The same in hundredths as the command port sends it: never with a
    // byte 0x0D, which a tty with ICRNL would deliver as 0x0A.
    int16_t FpaHundredths(Clock::time_point now) const;
    // A correction begins now (commanded or automatic); it resets the drift.
    void Begin(Clock::time_point now);
    // Begins an automatic correction when its time has come.
    void FollowTimer(Clock::time_point now);
    FrameLook Look(Clock::time_point now) const;
    uint64_t corrections() const { return corrections_; }

private:
    double Simulated(Clock::time_point now) const;
    double FpaAt(double simulated) const;

    CameraSetup setup_;
    bool active_;
    Clock::time_point created_;
    double correctedAt_ = 0;         // simulated seconds
    double fpaAtCorrection_;         // degrees
    Clock::time_point closedUntil_;  // the shutter shows until then
    uint64_t corrections_ = 0;
};

// Draws `look` over a rendered frame of the synthetic scene (`bytes` of
// `dst`); `last` keeps the latest picture for a Frozen look. Producer thread.
void ApplyLook(const FrameLook& look, int width, int height, bool withTemp, Formula f, uint8_t* dst, size_t bytes,
               std::vector<uint8_t>& last);

}  // namespace detail
}  // namespace vcam
