// tool_support.h - what every command of the tool shares: its context, the
// command table's row, messages with the right exit status, common options
// and opening the camera the user chose.
//
// A command is a CommandSyntax and a handler; it is added to the table in
// commands.cpp. The handler returns one of the statuses of exit_status.h.
// Ctrl-C is caught for the whole run (interrupt.h): a handler that waits
// checks Interrupted() and returns; RunTool then exits with kExitInterrupted.
#pragma once

#include "client.h"
#include "cli.h"
#include "exit_status.h"

#include <cstdio>
#include <functional>
#include <string>

namespace vivatool {

struct Context {
    FILE* out;               // results (JSON alone when --json is given)
    FILE* err;               // messages
    bool terminal;           // `out` is a terminal: live lines may be rewritten
    CoreOutput* core;        // the library's own lines; null when not captured
};

using Handler = int (*)(Context&, const ParsedArgs&);

struct Command {
    CommandSyntax setup;
    Handler run;
};

// "vivazuzoz: MESSAGE" on the error stream; returns kExitFailure.
int Fail(Context& ctx, const std::string& message);
int FailCall(Context& ctx, const Call& call);
// "vivazuzoz COMMAND: MESSAGE" and a hint to --help; returns kExitUsage.
int UsageError(Context& ctx, const char* command, const std::string& message);

// Options several commands share.
extern const OptionSyntax kDeviceOption;
extern const OptionSyntax kJsonOption;

// Reads an integer option within [min, max]; `fallback` when absent. Reports
// a usage error and returns false on a bad value.
bool IntegerOption(Context& ctx, const char* command, const ParsedArgs& args, const char* name, long long min,
                   long long max, long long fallback, long long& value);

// The camera index of -d/--device, or kAnyCamera when it is not given.
constexpr int kAnyCamera = CameraChoice::kAny;
bool DeviceOption(Context& ctx, const char* command, const ParsedArgs& args, int& index);

// The library session and the camera of one command; members are destroyed
// in reverse order, so the camera is closed before the library goes.
struct Session {
    LibrarySession library;
    std::unique_ptr<Camera> camera;

    unsigned long handle() const { return camera->handle(); }
    const CameraInfo& info() const { return camera->info(); }
};

// Searches and opens camera `index` (kAnyCamera: the first complete one).
// Returns kExitOk or the status of a failure it has reported; when the open
// itself fails, the library's own lines are shown, since they say why.
int OpenSelected(Context& ctx, Session& session, int index);

// What a reopened camera's set-up found: go on with it, close it and wait
// for the camera again, or keep it open and stop (the caller reports why).
enum class Comeback { GoOn, WaitAgain, Stop };

// --reconnect: closes the session's lost camera, says so, and waits for a
// camera at the same USB port; `ready` (may be null) finishes the reopened
// camera's set-up and says what to do with it. Says how long the camera was
// away once it is back and ready ("...; `what` goes on"). False when
// `keepWaiting` ended the wait; true with the camera open otherwise.
bool ReopenLostCamera(Context& ctx, Session& session, const std::function<bool()>& keepWaiting,
                      const std::function<Comeback()>& ready, const char* what);

}  // namespace vivatool
