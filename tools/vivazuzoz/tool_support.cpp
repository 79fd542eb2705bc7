#include "tool_support.h"

#include <vivaclient/camera.h>
#include <vivaclient/camera_session.h>
#include <vivaclient/number_text.h>
#include <vivaclient/result_text.h>
#include <vivaclient/settings.h>
#include "listen_address.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <climits>

namespace vivatool {
using namespace vivaclient;

const OptionSyntax kDeviceOption{"device", 'd', "INDEX",
                                 "camera to use, as 'vivazuzoz list' numbers them (default: the first with a "
                                 "command port)"};
const OptionSyntax kJsonOption{"json", 0, nullptr, "print JSON for scripts"};

int Fail(Context& ctx, const std::string& message)
{
    std::fprintf(ctx.err, "vivazuzoz: %s\n", message.c_str());
    return kExitFailure;
}

int FailCall(Context& ctx, const Call& call)
{
    return Fail(ctx, DescribeFailure(call));
}

int UsageError(Context& ctx, const char* command, const std::string& message)
{
    std::fprintf(ctx.err, "vivazuzoz %s: %s\nTry 'vivazuzoz %s --help'.\n", command, message.c_str(), command);
    return kExitUsage;
}

int IntegerOption(Context& ctx, const char* command, const ParsedArgs& args, const char* name, long long min,
                  long long max, long long fallback, long long& value)
{
    value = fallback;
    if (!args.has(name))
        return kExitOk;
    const std::string text = args.value(name);
    const auto parsed = ParseInteger(text);
    if (!parsed || *parsed < min || *parsed > max)
        return UsageError(ctx, command,
                          "--" + std::string(name) + " takes a whole number from " + std::to_string(min) +
                              (max == INT32_MAX ? " up" : " to " + std::to_string(max)) + ", not '" + text + "'");
    value = *parsed;
    return kExitOk;
}

int DeviceOption(Context& ctx, const char* command, const ParsedArgs& args, int& index)
{
    long long value = 0;
    const int status = IntegerOption(ctx, command, args, "device", 0, INT32_MAX, kAnyCamera, value);
    index = static_cast<int>(value);
    return status;
}

int ListenOption(Context& ctx, const char* command, const ParsedArgs& args, std::string& address, uint16_t& port)
{
    if (!args.has("listen") || ParseListen(args.value("listen"), address, port))
        return kExitOk;
    return UsageError(ctx, command,
                      "--listen takes ADDRESS:PORT with an IP address, e.g. " + UrlHost(address, port) + ", not '" +
                          args.value("listen") + "'");
}

int TokenOption(Context& ctx, const char* command, const ParsedArgs& args, std::string& token)
{
    token = args.value("token");
    if (args.has("token") && token.empty())
        return UsageError(ctx, command, "--token must not be empty");
    return kExitOk;
}

const Setting* SettingArgument(Context& ctx, const char* command, const std::string& name)
{
    const Setting* setting = FindSetting(name);
    if (!setting)
        UsageError(ctx, command, "unknown setting '" + name + "'; settings are: " + SettingNames(false));
    return setting;
}

std::string SettingsHelp(bool writableOnly)
{
    std::string text = writableOnly ? "Settings:\n" : "Settings (read-only ones marked):\n";
    for (const Setting& s : Settings()) {
        if (writableOnly && s.readOnly())
            continue;
        char line[160];
        std::snprintf(line, sizeof line, "  %-18s %s%s\n", s.name, s.description,
                      s.readOnly() && !writableOnly ? " (read-only)" : "");
        text += line;
    }
    return text;
}

std::string NodeText(const std::string& path)
{
    return path.empty() ? "-" : path;
}

namespace {

int ReportOpenFailure(Context& ctx, const OpenFailure& failure)
{
    if (failure.coreLinesExplain && ctx.core)
        ctx.core->ShowHeld();
    std::string message = failure.message;
    if (failure.call.function == std::string("OZL_USB_SearchDev") && failure.call.result == OZL_USB_FAILURE)
        message += "; see 'vivazuzoz list'";
    return Fail(ctx, message);
}

}  // namespace

int OpenSelected(Context& ctx, Session& session, int index)
{
    CameraChoice choice;
    choice.index = index;
    OpenFailure failure;
    session.camera = Camera::Open(choice, failure);
    return session.camera ? kExitOk : ReportOpenFailure(ctx, failure);
}

SessionOptions StreamingOptions(int index, bool reconnect)
{
    SessionOptions options;
    options.choice.index = index;
    options.reconnect = reconnect;
    return options;
}

int OpenStreaming(Context& ctx, StreamingSession& session, SessionOptions options)
{
    session.camera = std::make_unique<CameraSession>(std::move(options));
    session.camera->OnEvent([&events = session.events](const SessionEvent& e) { events.Push(e); });
    OpenFailure failure;
    if (session.camera->Open(failure))
        return kExitOk;
    return ReportOpenFailure(ctx, failure);
}

std::string EventLine(const SessionEvent& event, const char* what)
{
    switch (event.kind) {
    case SessionEvent::Kind::Lost:
    case SessionEvent::Kind::Stalled:
    case SessionEvent::Kind::Error:
        return event.message;
    case SessionEvent::Kind::Back:
        return event.message + "; " + what + " goes on";
    case SessionEvent::Kind::Opened:
    case SessionEvent::Kind::Closed:
    case SessionEvent::Kind::ShutterStart:
    case SessionEvent::Kind::ShutterEnd:
        break;
    }
    return "";
}

void SayEvent(Context& ctx, const SessionEvent& event, const char* what)
{
    const std::string line = EventLine(event, what);
    if (line.empty())
        return;
    std::fprintf(ctx.err, "vivazuzoz: %s\n", line.c_str());
    std::fflush(ctx.err);
}

std::string EndMessage(const SessionEvent& reason, const char* what)
{
    std::string message = reason.message + "; " + what + " ended";
    if (reason.kind == SessionEvent::Kind::Lost || reason.kind == SessionEvent::Kind::Stalled)
        message += " (--reconnect waits for the camera)";
    return message;
}

RunEnd CheckRunEnd(const CameraSession& camera, bool limited, bool limitReached)
{
    if (limitReached)
        return RunEnd::Done;
    if (Interrupted())
        return limited ? RunEnd::Interrupted : RunEnd::Done;
    return camera.ended() ? RunEnd::Ended : RunEnd::Going;
}

int StreamUntilEnd(Context& ctx, CameraSession& camera, const std::function<RunEnd()>& loop, RunEnd& end)
{
    OpenFailure failure;
    if (!camera.Stream(failure))
        return Fail(ctx, failure.message);
    end = loop();
    camera.Close();
    return kExitOk;
}

int EndStatus(Context& ctx, RunEnd end, const CameraSession& camera, const char* what, const std::string& kept)
{
    switch (end) {
    case RunEnd::Going:
    case RunEnd::Done:
        return kExitOk;
    case RunEnd::Interrupted:
        return kExitInterrupted;
    case RunEnd::Ended:
        return Fail(ctx, EndMessage(camera.endReason(), what) + kept);
    }
    return kExitFailure;
}

std::string CannotCreate(const std::string& path)
{
    struct stat info;
    int error = 0;
    if (::stat(path.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode))
            error = EISDIR;
        else if (::access(path.c_str(), W_OK) != 0)
            error = errno;
    } else {
        const size_t slash = path.rfind('/');
        const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
        if (::access(folder.c_str(), W_OK | X_OK) != 0)
            error = errno;
    }
    return error ? "cannot create " + path + ": " + std::strerror(error) : "";
}

}  // namespace vivatool
