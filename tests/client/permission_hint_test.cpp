// What the tool tells a user whose account may not open a camera's nodes.
#include <vivaclient/result_text.h>
#include "../support/text_search.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace vivaclient;

namespace {

NodeAccess Denied(const std::string& path, const std::string& group, bool pending = false)
{
    NodeAccess node;
    node.path = path;
    node.group = group;
    node.denied = true;
    node.groupPending = pending;
    return node;
}

}  // namespace

TEST(PermissionHint, NamesEachDeniedNodeAndTheGroupsToJoinInOneCommand)
{
    NodeAccess allowed;
    allowed.path = "/dev/video0";
    allowed.group = "video";
    EXPECT_EQ(PermissionHint({}), "");
    EXPECT_EQ(PermissionHint({allowed, NodeAccess{}}), "") << "nothing denied, nothing to say";

    const std::string both = PermissionHint({Denied("/dev/video2", "video"), Denied("/dev/ttyACM0", "dialout")});
    EXPECT_NE(both.find("/dev/video2 (group video) and /dev/ttyACM0 (group dialout)"), std::string::npos) << both;
    EXPECT_NE(both.find("sudo usermod -aG video,dialout \"$USER\""), std::string::npos) << both;
    EXPECT_NE(both.find("log out and in again"), std::string::npos) << both;

    // Two nodes of one group: the group is named once.
    const std::string one = PermissionHint({Denied("/dev/video2", "video"), Denied("/dev/video3", "video")});
    EXPECT_NE(one.find("usermod -aG video \"$USER\""), std::string::npos) << one;
    EXPECT_EQ(Count(one, "usermod"), 1u) << one;
}

TEST(PermissionHint, AMemberWhoseSessionIsOlderIsToldToLogInAgainNotToJoin)
{
    const std::string text = PermissionHint({Denied("/dev/ttyACM0", "dialout", true), Denied("/dev/video2", "video")});
    EXPECT_NE(text.find("You are in the group dialout, but this login session started before"), std::string::npos)
        << text;
    EXPECT_NE(text.find("usermod -aG video \"$USER\""), std::string::npos) << "only video is to be joined: " << text;
    EXPECT_EQ(text.find("-aG video,dialout"), std::string::npos) << text;
}

TEST(PermissionHint, ANodeOfRootIsNotFixedByJoiningRoot)
{
    const std::string text = PermissionHint({Denied("/dev/video2", "root")});
    EXPECT_EQ(text.find("usermod"), std::string::npos) << text;
    EXPECT_NE(text.find("video nodes normally belong to the group video and serial ports to dialout"),
              std::string::npos)
        << text;
}

TEST(ProbeNodeAccess, FindsTheNodesGroupAndWhetherItMayBeOpened)
{
    const NodeAccess missing = ProbeNodeAccess("no-such-node");
    EXPECT_FALSE(missing.denied) << "a node that is not there is not a permission matter";
    EXPECT_EQ(missing.group, "");

    const std::string path = "probe-node";
    const int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    close(fd);
    const group* own = getgrgid(getegid());
    ASSERT_NE(own, nullptr);
    const NodeAccess open = ProbeNodeAccess(path);
    EXPECT_FALSE(open.denied);
    EXPECT_EQ(open.group, own->gr_name);

    ASSERT_EQ(chmod(path.c_str(), 0), 0);
    const NodeAccess closed = ProbeNodeAccess(path);
    unlink(path.c_str());
    if (geteuid() == 0)
        GTEST_SKIP() << "root may open any file: the denied case needs an ordinary user";
    EXPECT_TRUE(closed.denied);
    EXPECT_EQ(closed.group, own->gr_name);
    EXPECT_FALSE(closed.groupPending) << "this session is in its own group";
}
