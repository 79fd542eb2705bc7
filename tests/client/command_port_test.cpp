// Replies whose bytes contain a carriage return (0x0D), on a command port as
// a new tty has it and as the client layer prepares it. The settings that
// travel as such bytes round-trip through every front end in their own
// tests (the tool's, Python's and the live server's).
#include <vivaclient/camera.h>
#include <vivaclient/command_port.h>
#include <vivaclient/settings.h>

#include "../support/scratch_dir.h"

#include <vcam/VirtualCamera.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <vector>

using namespace vivaclient;

namespace {

bool HasCarriageReturn(int32_t units)
{
    for (int shift = 0; shift < 32; shift += 8)
        if (((static_cast<uint32_t>(units) >> shift) & 0xFF) == 0x0D)
            return true;
    return false;
}

bool Icrnl(const std::string& tty)
{
    const int fd = open(tty.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios t{};
    const bool set = fd >= 0 && tcgetattr(fd, &t) == 0 && (t.c_iflag & ICRNL);
    if (fd >= 0)
        close(fd);
    return set;
}

// The environment field `slot` as the library reads it, in units of 0.0001.
long long ReadEnvUnits(unsigned long handle, int slot)
{
    for (const Setting& s : Settings())
        if (s.access == SettingAccess::EnvParam && s.slot == slot) {
            SettingValue value;
            EXPECT_TRUE(ReadSetting(handle, s, value).ok());
            return EnvUnitsOfFloat(static_cast<float>(value.number));
        }
    ADD_FAILURE() << "no environment field " << slot;
    return 0;
}

// `camera` opened as every front end opens it.
std::unique_ptr<Camera> OpenThrough(vcam::Camera& camera)
{
    CameraChoice choice;
    choice.path = camera.videoPath();
    OpenFailure failure;
    std::unique_ptr<Camera> opened = Camera::Open(choice, failure);
    EXPECT_TRUE(opened) << failure.message;
    return opened;
}

class CommandPort : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("XDG_STATE_HOME", scratch_.path().c_str(), 1);
        OZL_USB_Init();
    }
    void TearDown() override { OZL_USB_Deinit(); }

    ScratchDir scratch_;
};

}  // namespace

TEST_F(CommandPort, ANewTtyTurnsCarriageReturnsInRepliesIntoLineFeeds)
{
    vcam::Camera& camera = vcam::AddCamera();
    vcam::Model model = camera.model();
    model.env[0] = 200000;  // 20.0: 40 0D 03 00 on the wire
    model.env[2] = 3400;    // 0.34: 48 0D 00 00
    model.palette = 13;
    camera.SetModel(model);
    ASSERT_TRUE(Icrnl(camera.serialPath())) << "a new pty should translate CR to LF";

    // Opened as the library alone opens it: the port's input flags as found.
    std::vector<CameraInfo> found;
    ASSERT_TRUE(SearchCameras(found).ok());
    ASSERT_EQ(found.size(), 1u);
    unsigned long handle = 0;
    ASSERT_EQ(OZL_USB_OpenDev(found[0].index, &handle), OZL_USB_SUCCESS);
    EXPECT_EQ(ReadEnvUnits(handle, 0), 199232) << "0x0D read as 0x0A: 20.0 comes back as 19.9232";
    EXPECT_EQ(ReadEnvUnits(handle, 2), 2632);
    int palette = 0;
    EXPECT_EQ(OZL_USB_GetPalleteType(handle, &palette), OZL_USB_SUCCESS);
    EXPECT_EQ(palette, 10);
    EXPECT_EQ(OZL_USB_CloseDev(handle), OZL_USB_SUCCESS);
}

TEST_F(CommandPort, EmissivitiesWithACarriageReturnInTheirBytesReadExactly)
{
    vcam::Camera& camera = vcam::AddCamera();
    std::unique_ptr<Camera> opened = OpenThrough(camera);
    ASSERT_TRUE(opened);
    EXPECT_FALSE(Icrnl(camera.serialPath()));
    // A second preparation finds nothing to do (this process counts as no
    // other program).
    EXPECT_EQ(PrepareCommandPort(camera.serialPath()), PortPreparation::AlreadyClear);
    // Emissivities of four decimals whose units hold a 0x0D byte: every one
    // with it in the low byte, and a sample of those with it in the next.
    int checked = 0;
    for (int32_t units = 0; units <= 10000; ++units) {
        if (!HasCarriageReturn(units) || ((units & 0xFF) != 0x0D && (units & 0x1F) != 0))
            continue;
        vcam::Model model = camera.model();
        model.env[2] = units;
        camera.SetModel(model);
        ASSERT_EQ(ReadEnvUnits(opened->handle(), 2), units);
        ++checked;
    }
    EXPECT_EQ(checked, 40 + 8);
}
