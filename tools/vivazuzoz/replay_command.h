// replay_command.h - `vivazuzoz replay FILE.tiff`: what a recording holds.
#pragma once

#include "tool_support.h"

namespace vivatool {

CommandSyntax ReplaySyntax();
int RunReplay(Context& ctx, const ParsedArgs& args);

}  // namespace vivatool
