// record_command.h - the record and replay commands, and reading a frame of a
// recording for snapshot --from.
#pragma once

#include "cli.h"
#include "tool_support.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace vivatool {

// The command lines of `record` and `replay`.
CommandSyntax RecordSyntax();
CommandSyntax ReplaySyntax();

// Run the commands; results go to `out`, messages to `err`, and progress to
// `err` when it is a terminal (progress.h).
int RunRecord(Context& ctx, const ParsedArgs& args);
int RunReplay(const ParsedArgs& args, FILE* out, FILE* err);

// Reads frame `index` of the recording at `path`. `temp` is left empty for
// an image-only recording. Returns "" or a message.
std::string LoadRecordedFrame(const std::string& path, long long index, int& width, int& height,
                              std::vector<uint16_t>& image, std::vector<int16_t>& temp);

}  // namespace vivatool
