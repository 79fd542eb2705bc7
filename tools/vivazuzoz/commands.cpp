// commands.cpp - the tool's table of commands, its overview help and
// RunTool, which picks the command and runs its handler. Each command lives
// in its own X_command.{h,cpp}.
#include "commands.h"

#include <vivaclient/core_output.h>
#include <vivaclient/interrupt.h>
#include "get_command.h"
#include "info_command.h"
#include "list_command.h"
#include "monitor/monitor_command.h"
#include "record_command.h"
#include "replay_command.h"
#include "serve/serve_command.h"
#include "set_command.h"
#include "shutter_command.h"
#include "snapshot_command.h"
#include "stream_command.h"
#include "tool_support.h"
#ifdef VIVAZUZOZ_WITH_RTSP
#include "rtsp_command.h"
#endif

#ifndef VIVAZUZOZ_TOOL_VERSION
#define VIVAZUZOZ_TOOL_VERSION "unknown"
#endif

namespace vivatool {
using namespace vivaclient;

namespace {

// Every command of the tool, in the order the overview lists them: one row
// each, its syntax and its handler from its X_command.h (kept one a line).
const std::vector<Command>& Commands()
{
    // clang-format off
    static const std::vector<Command> commands = {
        {ListSyntax(), RunList},
        {InfoSyntax(), RunInfo},
        {SnapshotSyntax(), RunSnapshot},
        {RecordSyntax(), RunRecord},
        {ReplaySyntax(), RunReplay},
        {StreamSyntax(), RunStream},
        {MonitorSyntax(), RunMonitor},
        {GetSyntax(), RunGet},
        {SetSyntax(), RunSet},
        {ShutterSyntax(), RunShutter},
        {ServeSyntax(), RunServe},
#ifdef VIVAZUZOZ_WITH_RTSP
        {RtspSyntax(), RunRtsp},
#endif
    };
    // clang-format on
    return commands;
}

const Command* FindCommand(const std::string& name)
{
    for (const Command& c : Commands())
        if (name == c.setup.name)
            return &c;
    return nullptr;
}

std::string ToolHelp()
{
    std::string text =
        "vivazuzoz - find, capture from and configure USB thermal cameras\n"
        "\n"
        "Usage: vivazuzoz COMMAND [OPTIONS] [ARGUMENTS]\n"
        "       vivazuzoz COMMAND --help\n"
        "\n"
        "Commands:\n";
    for (const Command& c : Commands()) {
        char line[200];
        std::snprintf(line, sizeof line, "  %-10s %s\n", c.setup.name, c.setup.summary);
        text += line;
    }
    text +=
        "\n"
        "Options:\n"
        "  -h, --help      show this help (after a command: that command's help)\n"
        "  -v, --verbose   show the library's own progress lines (given before or\n"
        "                  after the command); without it they are shown only when\n"
        "                  opening a camera fails, since they say why\n"
        "  --version       print the version\n"
        "\n" +
        SettingsHelp(false) +
        "\n"
        "Files:\n"
        "  The library's log, VIVAZUZOZ.log (rotated at 20 MB), is written to the tool's\n"
        "  state folder, $XDG_STATE_HOME/vivazuzoz, else ~/.local/state/vivazuzoz\n"
        "  (the current folder when neither can be used). File names on the command\n"
        "  line mean what they mean in the current folder.\n"
        "\n"
        "Exit status (the same for every command):\n"
        "  0    success\n"
        "  1    a library call, the camera or a file failed, or no usable camera was\n"
        "       found; the message names the failing call and what its result means\n"
        "  2    the command line is wrong; no camera was touched (monitor: also when the\n"
        "       broker refuses the user name or password)\n"
        "  3    stream --exit-on-alarm: an alarm was raised\n"
        "  4    serve, rtsp, monitor --metrics: another program listens on the port\n"
        "  5    monitor --seconds: the MQTT broker never accepted the connection\n"
        "  130  interrupted by Ctrl-C (SIGINT) or SIGTERM before the command was done,\n"
        "       after closing the camera; a stream or recording without --frames or\n"
        "       --seconds runs until interrupted and then ends with 0\n"
        "\n"
        "Examples:\n"
        "  vivazuzoz list\n"
        "  vivazuzoz snapshot thermal.png --colormap iron --temperature thermal.csv\n"
        "  vivazuzoz set emissivity 0.95\n"
        "  vivazuzoz stream --seconds 10 --roi plate=180,40,40,40 --alarm-above 80\n"
        "  vivazuzoz record -o run.tiff --seconds 60 --every 1\n";
    return text;
}

// The command's own --help, or its handler under a Ctrl-C guard.
int RunCommand(Context& ctx, const Command& command, const std::vector<std::string>& words, bool verbose)
{
    ParsedArgs parsed;
    if (const std::string error = ParseArgs(command.setup, words, parsed); !error.empty())
        return UsageError(ctx, command.setup.name, error);
    if (parsed.help) {
        std::fprintf(ctx.out, "%s", CommandHelp(command.setup).c_str());
        return kExitOk;
    }
    if (ctx.core)
        ctx.core->SetVerbose(verbose || parsed.verbose);
    InterruptGuard interrupts;
    const int status = command.run(ctx, parsed);
    // A command that finished its work keeps its success; one that was cut
    // short says so.
    if (Interrupted() && status != kExitOk) {
        std::fprintf(ctx.err, "vivazuzoz: interrupted\n");
        return kExitInterrupted;
    }
    return status;
}

}  // namespace

int RunTool(const std::vector<std::string>& arguments, FILE* out, FILE* err, bool terminal, CoreOutput* core)
{
    Context ctx{out, err, terminal, core};
    // -v/--verbose may also come before the command.
    std::vector<std::string> args = arguments;
    bool verbose = false;
    while (!args.empty() && (args[0] == "-v" || args[0] == "--verbose")) {
        verbose = true;
        args.erase(args.begin());
    }
    if (args.empty()) {
        std::fprintf(err, "%s", ToolHelp().c_str());
        return kExitUsage;
    }
    const std::string& first = args[0];
    if (first == "-h" || first == "--help" || (first == "help" && args.size() == 1)) {
        std::fprintf(out, "%s", ToolHelp().c_str());
        return kExitOk;
    }
    if (first == "--version") {
        std::fprintf(out, "vivazuzoz %s\n", VIVAZUZOZ_TOOL_VERSION);
        return kExitOk;
    }
    const bool helpFor = first == "help";
    const std::string name = helpFor ? args[1] : first;
    const Command* command = FindCommand(name);
    if (!command) {
        std::fprintf(err, "vivazuzoz: unknown command '%s'\nTry 'vivazuzoz --help'.\n", name.c_str());
        return kExitUsage;
    }
    if (helpFor) {
        std::fprintf(out, "%s", CommandHelp(command->setup).c_str());
        return kExitOk;
    }
    const int status = RunCommand(ctx, *command, std::vector<std::string>(args.begin() + 1, args.end()), verbose);
    std::fflush(out);
    return status;
}

}  // namespace vivatool
