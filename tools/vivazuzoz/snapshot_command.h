// snapshot_command.h - `vivazuzoz snapshot`: one frame, of a camera or of a
// file, written as a picture or as temperature data.
#pragma once

#include "tool_support.h"

namespace vivatool {

CommandSyntax SnapshotSyntax();
int RunSnapshot(Context& ctx, const ParsedArgs& args);

}  // namespace vivatool
