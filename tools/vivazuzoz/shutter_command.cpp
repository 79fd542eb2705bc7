#include "shutter_command.h"

#include <VIVAZUZOZ.h>

namespace vivatool {
using namespace vivaclient;

CommandSyntax ShutterSyntax()
{
    return {"shutter", "Trigger the camera's shutter (flat-field) correction", "", {kDeviceOption}, 0, 0, ""};
}

int RunShutter(Context& ctx, const ParsedArgs& args)
{
    int index = 0;
    if (const int status = DeviceOption(ctx, "shutter", args, index))
        return status;
    Session session;
    if (const int status = OpenSelected(ctx, session, index))
        return status;
    const Call call{"OZL_USB_CorrectShutter", OZL_USB_CorrectShutter(session.handle())};
    if (!call.ok())
        return FailCall(ctx, call);
    std::fprintf(ctx.out, "Shutter correction done.\n");
    return kExitOk;
}

}  // namespace vivatool
