// rtsp_command.h - `vivazuzoz rtsp`: every camera as an H.264 RTSP stream.
#pragma once

#include "cli.h"
#include "tool_support.h"

#include <cstdio>

namespace vivatool {

// The command's syntax for the tool's command table.
CommandSyntax RtspSyntax();

// Serves until SIGINT or SIGTERM; returns the exit status.
int RunRtsp(Context& ctx, const ParsedArgs& args);

}  // namespace vivatool
