// stream_endpoints.h - a camera's frames as they come:
//   GET /api/cameras/{camera}/stream       a WebSocket: raw frames
//                                          (frame_message.h), or with
//                                          ?mode=compact the compact stream
//                                          (compact_frames.h), and the
//                                          camera's state as text messages
//   GET /api/cameras/{camera}/stream.mjpg  false-coloured JPEG pictures for
//                                          players and <img> (mjpeg_stream.h)
// Each holds one of the --max-clients stream slots for its life.
#pragma once

#include "server_state.h"

namespace vivatool::serve {

void WebSocketStream(Exchange& exchange);
void MjpegStream(Exchange& exchange);

}  // namespace vivatool::serve
