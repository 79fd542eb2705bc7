// tool_support.h - what every command of the tool shares: its context, the
// command table's row, messages with the right exit status, common options
// and opening the camera the user chose.
//
// A command is a CommandSyntax and a handler, declared in its own
// X_command.h as XSyntax() and RunX, and one row of the table in
// commands.cpp. The handler returns one of the statuses of exit_status.h,
// having said on `err` what went wrong (CONTRIBUTING.md: "The tool's
// errors"). Ctrl-C is caught for the whole run (interrupt.h): a handler that
// waits checks Interrupted() and returns; RunTool then exits with
// kExitInterrupted.
#pragma once

#include <vivaclient/camera.h>
#include <vivaclient/camera_session.h>
#include <vivaclient/core_output.h>
#include <vivaclient/interrupt.h>
#include <vivaclient/result_text.h>
#include <vivaclient/settings.h>
#include "cli.h"
#include "exit_status.h"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

namespace vivatool {

struct Context {
    FILE* out;               // results (JSON alone when --json is given)
    FILE* err;               // messages
    bool terminal;           // `out` is a terminal: live lines may be rewritten
    vivaclient::CoreOutput* core;        // the library's own lines; null when not captured
};

// Every command's handler: the run's context and the parsed command line in,
// the exit status out.
using Handler = int (*)(Context&, const ParsedArgs&);

struct Command {
    CommandSyntax setup;
    Handler run;
};

// "vivazuzoz: MESSAGE" on the error stream; returns kExitFailure.
int Fail(Context& ctx, const std::string& message);
int FailCall(Context& ctx, const vivaclient::Call& call);
// "vivazuzoz COMMAND: MESSAGE" and a hint to --help; returns kExitUsage.
int UsageError(Context& ctx, const char* command, const std::string& message);

// Options several commands share.
extern const OptionSyntax kDeviceOption;
extern const OptionSyntax kJsonOption;

// Reads an integer option within [min, max]; `fallback` when absent.
// Returns kExitOk, or kExitUsage with a usage error reported.
int IntegerOption(Context& ctx, const char* command, const ParsedArgs& args, const char* name, long long min,
                  long long max, long long fallback, long long& value);

// The camera index of -d/--device, or kAnyCamera when it is not given.
// Returns kExitOk, or kExitUsage with a usage error reported.
constexpr int kAnyCamera = vivaclient::CameraChoice::kAny;
int DeviceOption(Context& ctx, const char* command, const ParsedArgs& args, int& index);

// -l/--listen ADDR:PORT into `address` and `port`, which hold the defaults
// when it is not given. Reports a usage error and returns kExitUsage on a
// bad value, else kExitOk.
int ListenOption(Context& ctx, const char* command, const ParsedArgs& args, std::string& address, uint16_t& port);

// -t/--token TOKEN, which may not be empty when given ("" when absent).
// Returns kExitOk or kExitUsage with the error reported.
int TokenOption(Context& ctx, const char* command, const ParsedArgs& args, std::string& token);

// The setting named on the command line, or null with a usage error
// reported that lists the settings.
const vivaclient::Setting* SettingArgument(Context& ctx, const char* command, const std::string& name);

// The settings and what they are, for a command's --help ("Settings:" and
// one line each; the read-only ones left out or marked).
std::string SettingsHelp(bool writableOnly);

// A device node for a table: the path, or "-" when there is none.
std::string NodeText(const std::string& path);

// The library session and the camera of one command; members are destroyed
// in reverse order, so the camera is closed before the library goes.
struct Session {
    vivaclient::LibrarySession library;
    std::unique_ptr<vivaclient::Camera> camera;

    unsigned long handle() const { return camera->handle(); }
    const vivaclient::CameraInfo& info() const { return camera->info(); }
};

// Searches and opens camera `index` (kAnyCamera: the first complete one).
// Returns kExitOk or the status of a failure it has reported; when the open
// itself fails, the library's own lines are shown, since they say why.
int OpenSelected(Context& ctx, Session& session, int index);

// The commands that stream (stream, record, monitor): the library, and the
// camera as a CameraSession that keeps it streaming. The session's events
// wait in `events` for the command's own thread, which says them.
struct StreamingSession {
    vivaclient::LibrarySession library;
    vivaclient::EventQueue events;
    std::unique_ptr<vivaclient::CameraSession> camera;  // closed before the library goes
};

// The session options of -d INDEX (kAnyCamera: the first complete camera)
// and --reconnect.
vivaclient::SessionOptions StreamingOptions(int index, bool reconnect);

// Makes the session and opens its camera (not streaming yet: see
// CameraSession::Open). Returns kExitOk or the status of a failure it has
// reported as OpenSelected does.
int OpenStreaming(Context& ctx, StreamingSession& session, vivaclient::SessionOptions options);

// Says a session event on the error stream in the tool's words: the loss or
// stall ("...; waiting for it to come back to USB port P"), the return ("the
// camera is back after S s; `what` goes on") and errors. Opens and closes are
// not said: a command is quiet while all is well.
void SayEvent(Context& ctx, const vivaclient::SessionEvent& event, const char* what);
// That line without the program's name; "" for the events not said.
std::string EventLine(const vivaclient::SessionEvent& event, const char* what);

// The message a command ends with when its session ended by itself:
// "MESSAGE; `what` ended" and what --reconnect would have done.
std::string EndMessage(const vivaclient::SessionEvent& reason, const char* what);

// How the loop of a streaming command (stream, record, monitor) ends.
enum class RunEnd {
    Going,        // not yet
    Done,         // its limit was reached, or Ctrl-C ended a run without one
    Interrupted,  // Ctrl-C before its limit
    Ended,        // the camera's session ended by itself (lost without --reconnect)
};

// The end a turn of a streaming loop sees, checked in this order: Done when
// `limitReached`; on Ctrl-C, Interrupted for a run that has a limit
// (`limited`: --frames or --seconds) and Done for one without, which ends
// that way; Ended when the camera's session ended; else Going.
RunEnd CheckRunEnd(const vivaclient::CameraSession& camera, bool limited, bool limitReached);

// Starts the camera streaming into the callback or sink set on it, calls
// `loop` (which turns until CheckRunEnd, or a reason of its own, ends it),
// then closes the camera: its callbacks have stopped when this returns.
// The end is left in `end`. Returns kExitOk, or the status of a stream that
// could not start, reported.
int StreamUntilEnd(Context& ctx, vivaclient::CameraSession& camera, const std::function<RunEnd()>& loop, RunEnd& end);

// The exit status of an end, said where it is a failure: kExitOk for Done,
// kExitInterrupted, and for Ended the session's end reason as EndMessage
// says it with `kept` after it, and kExitFailure.
int EndStatus(Context& ctx, RunEnd end, const vivaclient::CameraSession& camera, const char* what,
              const std::string& kept = "");

// Why a file could not be created at `path` now ("cannot create x.png: No
// such file or directory", as the writers say it), or "" when it could: its
// folder exists and may be written, and it is not a folder itself. For
// commands that check their output before the work that fills it.
std::string CannotCreate(const std::string& path);

}  // namespace vivatool
