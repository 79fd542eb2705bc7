#include "set_command.h"

#include <vivaclient/number_text.h>
#include <vivaclient/settings.h>

#include <VIVAZUZOZ.h>

namespace vivatool {
using namespace vivaclient;

CommandSyntax SetSyntax()
{
    return {"set",
            "Change one setting of a camera",
            "NAME VALUE",
            {kDeviceOption},
            2,
            2,
            SettingsHelp(true) +
                "\nEnvironment values are kept to four decimals and read back exactly; the others are\n"
                "written back unchanged. A camera that refuses a value cannot be told apart from one that\n"
                "does not answer: both make set exit with 1.\n"};
}

int RunSet(Context& ctx, const ParsedArgs& args)
{
    int index = 0;
    if (const int status = DeviceOption(ctx, "set", args, index))
        return status;
    const Setting* setting = SettingArgument(ctx, "set", args.positional[0]);
    if (!setting)
        return kExitUsage;
    std::string error;
    const auto value = ParseSettingValue(*setting, args.positional[1], error);
    if (!value)
        return UsageError(ctx, "set", error);
    Session session;
    if (const int status = OpenSelected(ctx, session, index))
        return status;
    const Call call = WriteSetting(session.handle(), *setting, *value);
    if (call.result == OZL_USB_FAILURE && call.function == setting->setFunction)
        return Fail(ctx, DescribeRefusal(*setting, args.positional[1], call));
    if (!call.ok())
        return FailCall(ctx, call);
    std::fprintf(ctx.out, "%s set to %s\n", setting->name, FormatDecimal(*value, setting->decimals).c_str());
    return kExitOk;
}

}  // namespace vivatool
