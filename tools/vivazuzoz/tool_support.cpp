#include "tool_support.h"

#include "number_text.h"

#include <algorithm>
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

const CameraInfo* DefaultCamera(const std::vector<CameraInfo>& cameras)
{
    const auto it = std::find_if(cameras.begin(), cameras.end(),
                                 [](const CameraInfo& c) { return !c.video.empty() && !c.serial.empty(); });
    return it == cameras.end() ? nullptr : &*it;
}

int OpenSelected(Context& ctx, Session& session, int index)
{
    std::vector<CameraInfo> cameras;
    const Call search = session.library.Search(cameras);
    if (!search.ok()) {
        if (ctx.core)
            ctx.core->ShowHeld();
        return FailCall(ctx, search);
    }
    if (cameras.empty())
        return Fail(ctx, "no camera found");
    const CameraInfo* chosen = nullptr;
    if (index == kAnyCamera) {
        chosen = DefaultCamera(cameras);
        if (!chosen) {
            if (ctx.core)
                ctx.core->ShowHeld();
            return Fail(ctx, "no camera with both a video node and a command port found (" +
                                 std::to_string(cameras.size()) + (cameras.size() == 1 ? " device" : " devices") +
                                 " without; see 'vivazuzoz list')");
        }
    } else {
        const auto it = std::find_if(cameras.begin(), cameras.end(),
                                     [index](const CameraInfo& c) { return c.index == index; });
        if (it == cameras.end())
            return Fail(ctx, "no camera with index " + std::to_string(index) + " (" + std::to_string(cameras.size()) +
                                 (cameras.size() == 1 ? " camera" : " cameras") + " found; see 'vivazuzoz list')");
        chosen = &*it;
    }
    session.info = *chosen;
    const Call open = session.camera.Open(chosen->index);
    if (!open.ok()) {
        if (ctx.core)
            ctx.core->ShowHeld();
        std::string why = DescribeFailure(open) + " for camera " + std::to_string(chosen->index) + " (" +
                          chosen->name + ")";
        if (chosen->serial.empty())
            why += "; it has no command port";
        if (open.result == OZL_USB_OPEN_FAILED) {
            const std::string hint = PermissionHint({ProbeNodeAccess(chosen->video), ProbeNodeAccess(chosen->serial)});
            if (!hint.empty())
                why += "\n" + hint;
        }
        return Fail(ctx, why);
    }
    return kExitOk;
}

}  // namespace vivatool
