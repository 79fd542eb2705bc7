// exit_status.h - the tool's exit statuses, the same for every command.
// `vivazuzoz --help` documents them; a command that adds a status adds it
// here and to that text.
#pragma once

namespace vivatool {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;  // a library call, the camera or a file failed; no usable camera
// The command line is wrong; nothing was touched (or monitor's broker refused
// its credentials).
constexpr int kExitUsage = 2;
constexpr int kExitAlarm = 3;          // stream --exit-on-alarm: an alarm was raised
constexpr int kExitAddressInUse = 4;   // serve, rtsp, monitor --metrics: another program listens on the port
constexpr int kExitNoBroker = 5;       // monitor --seconds: the MQTT broker was never reached
constexpr int kExitInterrupted = 130;  // Ctrl-C (SIGINT) or SIGTERM; the camera was closed first

}  // namespace vivatool
