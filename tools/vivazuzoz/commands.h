// commands.h - the tool's subcommands.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace vivatool {

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;  // a library call, the camera or a file failed
constexpr int kExitUsage = 2;    // the command line is wrong
constexpr int kExitInterrupted = 130;

// Runs the tool with `args` (without the program name), writing results to
// `out` and messages to `err`. `terminal` says whether `out` is a terminal,
// which makes the stream command rewrite its status line in place.
int RunTool(const std::vector<std::string>& args, FILE* out, FILE* err, bool terminal);

}  // namespace vivatool
