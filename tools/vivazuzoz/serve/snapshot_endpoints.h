// snapshot_endpoints.h - a camera's newest frame as a file:
//   GET /api/cameras/{camera}/snapshot.png     false colours (?colormap=NAME)
//   GET /api/cameras/{camera}/snapshot.jpg     false colours, JPEG (mjpeg_stream.h)
//   GET /api/cameras/{camera}/temperature.csv  the temperatures, one row a line
#pragma once

#include "server_state.h"

namespace vivatool::serve {

void SnapshotPng(Exchange& exchange);
void SnapshotJpeg(Exchange& exchange);
void TemperatureCsvFile(Exchange& exchange);

}  // namespace vivatool::serve
