// result_text.h - what a library result code means, for error messages.
#pragma once

#include <cstdio>
#include <string>

namespace vivatool {

// One library call and its result, so a failure can be reported with the
// function's name and the code's meaning.
struct Call {
    const char* function = "";
    int result = 0;

    bool ok() const { return result == 0; }
};

// Short meaning of a result code, e.g. "not supported by this camera or stream".
const char* ResultMeaning(int result);

// "OZL_USB_OpenDev failed with result 4 (could not open ...)".
std::string DescribeFailure(const Call& call);

}  // namespace vivatool
