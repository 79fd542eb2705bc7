// info_command.h - `vivazuzoz info`: a camera's detector, stream and every
// setting, or what a snapshot file holds.
#pragma once

#include "tool_support.h"

namespace vivatool {

CommandSyntax InfoSyntax();
int RunInfo(Context& ctx, const ParsedArgs& args);

}  // namespace vivatool
