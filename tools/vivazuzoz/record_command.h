// record_command.h - `vivazuzoz record`: a camera's stream to a multi-page
// TIFF file.
#pragma once

#include "tool_support.h"

namespace vivatool {

CommandSyntax RecordSyntax();
int RunRecord(Context& ctx, const ParsedArgs& args);

}  // namespace vivatool
