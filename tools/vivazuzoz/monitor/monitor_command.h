// monitor_command.h - `vivazuzoz monitor`: a camera's region temperatures
// and alarms published to an MQTT broker (with Home Assistant discovery)
// and served to Prometheus.
#pragma once

#include "tool_support.h"

namespace vivatool {

CommandSyntax MonitorSyntax();
int RunMonitor(Context& ctx, const ParsedArgs& args);

}  // namespace vivatool
