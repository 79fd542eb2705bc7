#include "tool_support.h"

#include "client.h"

#include <chrono>
#include <climits>

namespace vivatool {

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

bool IntegerOption(Context& ctx, const char* command, const ParsedArgs& args, const char* name, long long min,
                   long long max, long long fallback, long long& value)
{
    if (!args.has(name)) {
        value = fallback;
        return true;
    }
    const std::string text = args.value(name);
    const auto parsed = ParseInteger(text);
    if (!parsed || *parsed < min || *parsed > max) {
        UsageError(ctx, command,
                   "--" + std::string(name) + " takes a whole number from " + std::to_string(min) +
                       (max == INT32_MAX ? " up" : " to " + std::to_string(max)) + ", not '" + text + "'");
        return false;
    }
    value = *parsed;
    return true;
}

bool DeviceOption(Context& ctx, const char* command, const ParsedArgs& args, int& index)
{
    long long value = 0;
    if (!IntegerOption(ctx, command, args, "device", 0, INT32_MAX, kAnyCamera, value))
        return false;
    index = static_cast<int>(value);
    return true;
}

int OpenSelected(Context& ctx, Session& session, int index)
{
    CameraChoice choice;
    choice.index = index;
    OpenFailure failure;
    session.camera = Camera::Open(choice, failure);
    if (session.camera)
        return kExitOk;
    if (failure.coreLinesExplain && ctx.core)
        ctx.core->ShowHeld();
    std::string message = failure.message;
    if (failure.call.function == std::string("OZL_USB_SearchDev") && failure.call.result == OZL_USB_FAILURE)
        message += "; see 'vivazuzoz list'";
    return Fail(ctx, message);
}

bool ReopenLostCamera(Context& ctx, Session& session, const std::function<bool()>& keepWaiting,
                      const std::function<Comeback()>& ready, const char* what)
{
    const CameraInfo was = session.info();
    session.camera.reset();
    std::fprintf(ctx.err, "vivazuzoz: the camera was lost; waiting for it to come back to USB port %s\n",
                 was.identity().c_str());
    std::fflush(ctx.err);
    const auto lostAt = std::chrono::steady_clock::now();
    for (;;) {
        session.camera = Reopen(was, keepWaiting);
        if (!session.camera)
            return false;
        const Comeback next = ready ? ready() : Comeback::GoOn;
        if (next == Comeback::Stop)
            return true;
        if (next == Comeback::GoOn)
            break;
        session.camera.reset();  // opened but not fit to go on with: wait again
    }
    std::fprintf(ctx.err, "vivazuzoz: the camera is back after %.1f s; %s goes on\n",
                 std::chrono::duration<double>(std::chrono::steady_clock::now() - lostAt).count(), what);
    std::fflush(ctx.err);
    return true;
}

}  // namespace vivatool
