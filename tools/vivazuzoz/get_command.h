// get_command.h - `vivazuzoz get NAME`: one setting of a camera.
#pragma once

#include "tool_support.h"

namespace vivatool {

CommandSyntax GetSyntax();
int RunGet(Context& ctx, const ParsedArgs& args);

}  // namespace vivatool
