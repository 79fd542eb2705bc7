// stream_command.h - `vivazuzoz stream`: frames, frame rate, temperature
// range, region figures and threshold alarms.
#pragma once

#include "tool_support.h"

namespace vivatool {

CommandSyntax StreamSyntax();
int RunStream(Context& ctx, const ParsedArgs& args);

}  // namespace vivatool
