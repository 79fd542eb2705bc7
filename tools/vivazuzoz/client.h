// client.h - the client layer (client/) as the tool uses it: its names are
// the tool's names too.
#pragma once

#include "camera.h"
#include "camera_session.h"
#include "colormaps.h"
#include "core_output.h"
#include "frame_stream.h"
#include "interrupt.h"
#include "number_text.h"
#include "recording.h"
#include "result_text.h"
#include "settings.h"
#include "state_dir.h"
#include "thermal_snapshot.h"

namespace vivatool {
using namespace vivaclient;
}  // namespace vivatool
