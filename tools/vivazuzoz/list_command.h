// list_command.h - `vivazuzoz list`: the cameras found.
#pragma once

#include "tool_support.h"

namespace vivatool {

CommandSyntax ListSyntax();
int RunList(Context& ctx, const ParsedArgs& args);

}  // namespace vivatool
