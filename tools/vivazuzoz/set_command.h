// set_command.h - `vivazuzoz set NAME VALUE`: change one setting of a camera.
#pragma once

#include "tool_support.h"

namespace vivatool {

CommandSyntax SetSyntax();
int RunSet(Context& ctx, const ParsedArgs& args);

}  // namespace vivatool
