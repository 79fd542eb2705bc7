#include "result_text.h"

#include <VIVAZUZOZ.h>

namespace vivatool {

const char* ResultMeaning(int result)
{
    switch (result) {
    case OZL_USB_SUCCESS:
        return "success";
    case OZL_USB_FAILURE:
        return "failure: the camera or its device did not do what was asked (a command may have been refused, answered wrongly or not at all)";
    case OZL_USB_NOT_SUPPORTED:
        return "not supported by this camera or stream";
    case OZL_USB_INVALID_PARAM:
        return "invalid parameter";
    case OZL_USB_OPEN_FAILED:
        return "could not open the camera's video or serial node";
    default:
        return "unknown result code";
    }
}

std::string DescribeFailure(const Call& call)
{
    return std::string(call.function) + " failed with result " + std::to_string(call.result) + " (" +
           ResultMeaning(call.result) + ")";
}

}  // namespace vivatool
