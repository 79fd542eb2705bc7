#include "get_command.h"

#include <vivaclient/settings.h>
#include "json.h"

namespace vivatool {
using namespace vivaclient;

CommandSyntax GetSyntax()
{
    return {"get", "Read one setting of a camera", "NAME", {kDeviceOption, kJsonOption}, 1, 1, SettingsHelp(false)};
}

int RunGet(Context& ctx, const ParsedArgs& args)
{
    int index = 0;
    if (const int status = DeviceOption(ctx, "get", args, index))
        return status;
    const Setting* setting = SettingArgument(ctx, "get", args.positional[0]);
    if (!setting)
        return kExitUsage;
    Session session;
    if (const int status = OpenSelected(ctx, session, index))
        return status;
    SettingValue value;
    const Call call = ReadSetting(session.handle(), *setting, value);
    if (!call.ok())
        return FailCall(ctx, call);
    if (args.has("json")) {
        JsonWriter json;
        json.BeginObject().Key("name").String(setting->name).Key("value");
        WriteSettingJson(json, *setting, value);
        json.EndObject();
        std::fprintf(ctx.out, "%s\n", json.str().c_str());
    } else {
        std::fprintf(ctx.out, "%s: %s\n", setting->name, FormatSettingValue(*setting, value).c_str());
    }
    return kExitOk;
}

}  // namespace vivatool
