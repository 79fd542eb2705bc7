// topics.h - where `monitor` publishes, under PREFIX/CAMERA/:
//   availability            "online" / "offline" (retained; also the last will)
//   TARGET/state            {"min","max","mean","hottest":{"x","y"},"time"} (retained)
//   TARGET/alarm/KIND       "ON" / "OFF" (retained), KIND "above" or "below"
//   event                   {"event":"raised"|"cleared",...} per alarm change (not retained)
// TARGET is "frame" (the whole frame) or a region's name.
#pragma once

#include <string>

namespace vivatool::monitor {

struct Topics {
    std::string base;  // PREFIX/CAMERA

    std::string availability() const { return base + "/availability"; }
    std::string state(const std::string& target) const { return base + "/" + target + "/state"; }
    std::string alarm(const std::string& target, const std::string& kind) const
    {
        return base + "/" + target + "/alarm/" + kind;
    }
    std::string event() const { return base + "/event"; }
};

constexpr const char* kOnline = "online";
constexpr const char* kOffline = "offline";

}  // namespace vivatool::monitor
