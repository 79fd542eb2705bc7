// snapshot_output.h - `snapshot` writes its frame in the format the file's
// name or --format asks for, and `info FILE` shows what a radiometric
// snapshot file holds.
#pragma once

#include "tool_support.h"

#include <vivaclient/snapshot_file.h>

#include <string>
#include <vivaclient/colormaps.h>

namespace vivatool {

// The format of the output `typed`: --format when given, else the name's
// extension, else PNG. Returns kExitOk, or kExitUsage with a usage error
// reported for an unknown --format or extension.
int ChooseSnapshotFormat(Context& ctx, const ParsedArgs& args, const std::string& typed,
                         vivaclient::SnapshotFormat& format);

// Whether the format holds temperatures (and so needs a stream with them).
bool FormatNeedsTemperatures(vivaclient::SnapshotFormat format);

// Writes `shot` to `file` (the name resolved from `typed`) in `format`,
// coloured with `palette` where the format is a picture. Returns "" with
// `what` describing the file ("temperatures in degC as 32-bit floats"), or a
// message.
std::string WriteSnapshot(vivaclient::SnapshotFormat format, const std::string& file, const std::string& typed,
                          const vivaclient::ThermalSnapshot& shot, const vivaclient::ColormapInfo& palette, std::string& what);

// `vivazuzoz info FILE`: the size, unit, temperature range and facts of a
// TIFF snapshot or radiometric JPEG, as text or JSON.
int RunFileInfo(Context& ctx, const std::string& typed, bool json);

}  // namespace vivatool
