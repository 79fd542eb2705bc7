// camera_endpoints.h - the JSON API of the cameras and their settings:
//   GET  /api/cameras                          every camera, live or not
//   GET  /api/settings                         the settings' names, labels and ranges
//   GET  /api/colormaps                        the colour tables the page draws with
//   GET  /api/cameras/{camera}/settings        every setting's value (settings_cache.h)
//   PUT  /api/cameras/{camera}/settings/{name} one setting, the value as the body
//   POST /api/cameras/{camera}/shutter         a shutter correction
#pragma once

#include "server_state.h"

namespace vivatool::serve {

void ListCameras(Exchange& exchange);
void ListSettings(Exchange& exchange);
void ListColormaps(Exchange& exchange);
void ReadSettings(Exchange& exchange);
void WriteSetting(Exchange& exchange);
void CorrectShutter(Exchange& exchange);

}  // namespace vivatool::serve
