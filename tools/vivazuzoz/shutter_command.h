// shutter_command.h - `vivazuzoz shutter`: a shutter (flat-field) correction.
#pragma once

#include "tool_support.h"

namespace vivatool {

CommandSyntax ShutterSyntax();
int RunShutter(Context& ctx, const ParsedArgs& args);

}  // namespace vivatool
