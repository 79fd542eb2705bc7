// result_text.h - what a library result code means, for error messages.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace vivaclient {

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

// A camera's device node as this process finds it.
struct NodeAccess {
    std::string path;
    std::string group;          // the node's group name, or its number, "" when unknown
    bool denied = false;        // exists, but may not be opened for reading and writing
    bool groupPending = false;  // the user is in that group, but this login session is not yet
};

// Looks at one node: its group, whether this process may open it, and
// whether the user's groups already include the node's.
NodeAccess ProbeNodeAccess(const std::string& path);

// What a user can do about nodes that may not be opened, for the message of
// a failed open: which nodes, which groups (video, dialout) and the command
// that joins them. "" when no node was denied.
std::string PermissionHint(const std::vector<NodeAccess>& nodes);

}  // namespace vivaclient
