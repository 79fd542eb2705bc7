// The camera's own ReadPort and WritePort on a real pseudo-terminal: the
// test holds the master side and plays the camera.
#include "UVCDevCtrl.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

class PortCamera : public UVCDevCtrl {
public:
    using UVCDevCtrl::m_serial;
};

class Pty {
public:
    Pty() : master_(posix_openpt(O_RDWR | O_NOCTTY))
    {
        if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0)
            slave_ = ptsname(master_);
    }
    ~Pty()
    {
        if (master_ >= 0)
            close(master_);
    }
    const std::string& slave() const { return slave_; }
    void Send(const std::vector<char>& bytes) { ASSERT_EQ(write(master_, bytes.data(), bytes.size()), ssize_t(bytes.size())); }
    std::vector<char> Receive(size_t n)
    {
        std::vector<char> got(n);
        size_t have = 0;
        while (have < n) {
            const ssize_t r = read(master_, got.data() + have, n - have);
            if (r <= 0)
                break;
            have += size_t(r);
        }
        got.resize(have);
        return got;
    }

private:
    int master_;
    std::string slave_;
};

}  // namespace

TEST(CameraPort, ClosedPortAndBadArgumentsAreRefusedUntouched)
{
    PortCamera c;
    char buf[4] = {'a', 'b', 'c', 'd'};
    int count = 99;
    EXPECT_EQ(c.ReadPort(buf, 4, &count, 100), OZL_USB_FAILURE);
    EXPECT_EQ(count, 99);
    EXPECT_EQ(buf[0], 'a');
    EXPECT_EQ(c.WritePort(buf, 4), OZL_USB_FAILURE);
    EXPECT_EQ(c.ReadPort(buf, 4, nullptr, 100), OZL_USB_INVALID_PARAM);
    EXPECT_EQ(c.WritePort(buf, -1), OZL_USB_INVALID_PARAM);
    // Every command fails at once on a closed port.
    int palette = 5;
    EXPECT_EQ(c.GetPalleteType(&palette), OZL_USB_FAILURE);
    EXPECT_EQ(palette, 5);
}

TEST(CameraPort, ReadsWhatArrivedBoundedToItsBufferAndWritesWhole)
{
    Pty pty;
    ASSERT_FALSE(pty.slave().empty());
    PortCamera c;
    ASSERT_EQ(c.m_serial.OpenPort(pty.slave().c_str()), 0);

    char request[] = {char(0xAA), 0x04, 0x01, 0x42, 0x00, char(0xF1), char(0xEB), char(0xAA)};
    EXPECT_EQ(c.WritePort(request, 8), 0);
    EXPECT_EQ(pty.Receive(8), std::vector<char>(request, request + 8));

    // More than 512 bytes asked for: 512 are copied, the rest stays as it was.
    std::vector<char> reply(300, 0x5A);
    pty.Send(reply);
    std::vector<char> buf(700, 0x11);
    int count = -5;
    EXPECT_EQ(c.ReadPort(buf.data(), 700, &count, 2000), 0);
    EXPECT_EQ(count, 300);
    EXPECT_EQ(std::string(buf.begin(), buf.begin() + 300), std::string(300, 0x5A));
    EXPECT_EQ(std::string(buf.begin() + 300, buf.begin() + 512), std::string(212, '\0'));
    EXPECT_EQ(std::string(buf.begin() + 512, buf.end()), std::string(188, 0x11));

    // No time at all: nothing is read, the buffer gets zeros.
    pty.Send({0x55, 0x01});
    buf.assign(8, 0x11);
    EXPECT_EQ(c.ReadPort(buf.data(), 4, &count, 0), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(std::string(buf.begin(), buf.begin() + 4), std::string(4, '\0'));
    EXPECT_EQ(buf[4], 0x11);

    // A negative length copies nothing but still reports what arrived.
    EXPECT_EQ(c.ReadPort(buf.data(), -1, &count, 1000), 0);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(buf[0], 0);

    // Nothing arrives: the whole time-out passes and the count is not positive.
    EXPECT_EQ(c.ReadPort(buf.data(), 4, &count, 100), 0);
    EXPECT_LE(count, 0);
}

TEST(CameraPort, OpenRefusesAnIndexOutsideTheSearchResultWithoutOpeningAnything)
{
    PortCamera c;
    UVCDevCtrl::m_devList.clear();
    EXPECT_EQ(c.OpenDev(0), OZL_USB_OPEN_FAILED);
    EXPECT_EQ(c.OpenDev(-1), OZL_USB_OPEN_FAILED);
    EXPECT_FALSE(c.m_serial.IsOpen());
    EXPECT_TRUE(UVCInterface::m_videoMap.empty());
}
