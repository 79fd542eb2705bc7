#include <vivaclient/result_text.h>

#include <VIVAZUZOZ.h>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>

namespace vivaclient {

const char* ResultMeaning(int result)
{
    switch (result) {
    case OZL_USB_SUCCESS:
        return "success";
    case OZL_USB_FAILURE:
        return "failure: the camera or its device did not do what was asked (a command may have been refused, answered "
               "wrongly or not at all)";
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

namespace {

std::string GroupName(gid_t gid)
{
    std::vector<char> buffer(16384);
    group entry{};
    group* found = nullptr;
    if (getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
        return found->gr_name;
    return std::to_string(gid);
}

bool InSessionGroups(gid_t gid)
{
    if (getegid() == gid)
        return true;
    const int n = getgroups(0, nullptr);
    std::vector<gid_t> groups(n > 0 ? n : 0);
    if (n > 0 && getgroups(n, groups.data()) == n)
        return std::find(groups.begin(), groups.end(), gid) != groups.end();
    return false;
}

// Whether the user's account lists the group (in the group database), which
// a session started before the user was added does not yet show.
bool InAccountGroups(gid_t gid)
{
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* user = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &user) != 0 || !user)
        return false;
    int n = 64;
    std::vector<gid_t> groups(n);
    if (getgrouplist(user->pw_name, user->pw_gid, groups.data(), &n) < 0) {
        groups.resize(n);
        if (getgrouplist(user->pw_name, user->pw_gid, groups.data(), &n) < 0)
            return false;
    }
    groups.resize(n);
    return std::find(groups.begin(), groups.end(), gid) != groups.end();
}

std::string JoinWords(const std::vector<std::string>& words, const char* separator, const char* last)
{
    std::string text;
    for (size_t i = 0; i < words.size(); ++i)
        text += (i == 0 ? "" : i + 1 == words.size() ? last : separator) + words[i];
    return text;
}

}  // namespace

NodeAccess ProbeNodeAccess(const std::string& path)
{
    NodeAccess node;
    node.path = path;
    struct stat info {};
    if (path.empty() || stat(path.c_str(), &info) != 0)
        return node;
    node.group = GroupName(info.st_gid);
    node.denied = access(path.c_str(), R_OK | W_OK) != 0 && errno == EACCES;
    node.groupPending = node.denied && !InSessionGroups(info.st_gid) && InAccountGroups(info.st_gid);
    return node;
}

std::string PermissionHint(const std::vector<NodeAccess>& nodes)
{
    std::vector<std::string> denied, groups, pending;
    bool rootOnly = false;
    for (const NodeAccess& node : nodes) {
        if (!node.denied)
            continue;
        denied.push_back(node.path + (node.group.empty() ? "" : " (group " + node.group + ")"));
        if (node.group.empty() || node.group == "root") {
            rootOnly = true;
            continue;
        }
        std::vector<std::string>& list = node.groupPending ? pending : groups;
        if (std::find(list.begin(), list.end(), node.group) == list.end())
            list.push_back(node.group);
    }
    if (denied.empty())
        return "";
    std::string text = "permission denied on " + JoinWords(denied, ", ", " and ") + ".";
    if (!groups.empty())
        text += "\nTo use cameras without root, join the group" + std::string(groups.size() > 1 ? "s " : " ") +
                JoinWords(groups, ", ", " and ") + " with 'sudo usermod -aG " + JoinWords(groups, ",", ",") +
                " \"$USER\"', then log out and in again.";
    if (!pending.empty())
        text += "\nYou are in the group" + std::string(pending.size() > 1 ? "s " : " ") +
                JoinWords(pending, ", ", " and ") + ", but this login session started before: log out and in again.";
    if (rootOnly)
        text +=
            "\nA node that belongs to root is for root only: camera video nodes normally belong to the group "
            "video and serial ports to dialout (see the udev rules).";
    return text;
}

}  // namespace vivaclient
