// serve_command.h - `vivazuzoz serve`: the live view in a browser.
#pragma once

#include "../cli.h"
#include "../tool_support.h"

#include <cstdio>

namespace vivatool {

// The command's syntax for the tool's command table.
CommandSyntax ServeSyntax();

// Runs the server until SIGINT or SIGTERM; returns the exit status.
int RunServe(Context& ctx, const ParsedArgs& args);

}  // namespace vivatool
