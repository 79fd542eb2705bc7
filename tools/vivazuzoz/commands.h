// commands.h - the tool's subcommands.
#pragma once

#include <vivaclient/core_output.h>
#include "exit_status.h"

#include <cstdio>
#include <string>
#include <vector>

namespace vivatool {

// Runs the tool with `args` (without the program name), writing results to
// `out` and messages to `err`. `terminal` says whether `out` is a terminal,
// which makes the stream command rewrite its status line in place. `core`
// holds the library's own lines (see core_output.h); without it they go
// wherever the C streams stdout and stderr go. Returns the exit status.
int RunTool(const std::vector<std::string>& args, FILE* out, FILE* err, bool terminal,
            vivaclient::CoreOutput* core = nullptr);

}  // namespace vivatool
