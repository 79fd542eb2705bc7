#include "alarm.h"

namespace vivatool {

AlarmChange Alarm::Feed(int value)
{
    const bool above = rule_.kind == AlarmKind::Above;
    if (!raised_) {
        if (above ? value > rule_.threshold : value < rule_.threshold) {
            raised_ = true;
            return AlarmChange::Raised;
        }
        return AlarmChange::None;
    }
    if (above ? value <= rule_.threshold - rule_.hysteresis : value >= rule_.threshold + rule_.hysteresis) {
        raised_ = false;
        return AlarmChange::Cleared;
    }
    return AlarmChange::None;
}

}  // namespace vivatool
