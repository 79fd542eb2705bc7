// alarm.h - a threshold alarm with hysteresis, fed one value per frame.
#pragma once

namespace vivatool {

enum class AlarmKind { Above, Below };

// Values in tenths of a degree.
struct AlarmRule {
    AlarmKind kind = AlarmKind::Above;
    int threshold = 0;
    int hysteresis = 10;  // >= 0
};

enum class AlarmChange { None, Raised, Cleared };

// An Above alarm is raised when a value rises above the threshold and
// cleared when one falls to threshold - hysteresis or below; a Below alarm
// is raised below the threshold and cleared at threshold + hysteresis or
// above. Noise smaller than the hysteresis cannot make it flap. The first
// value may raise it at once.
class Alarm {
public:
    explicit Alarm(AlarmRule rule) : rule_(rule) {}

    AlarmChange Feed(int value);
    bool raised() const { return raised_; }
    const AlarmRule& rule() const { return rule_; }

private:
    AlarmRule rule_;
    bool raised_ = false;
};

}  // namespace vivatool
