#include "Common/SerialPort.h"
#include "Logger.h"
#include "VIVAZUZOZ.h"

#include "../support/scratch_dir.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

// A pseudo-terminal standing in for the camera's tty node. The master side is
// the camera; `observer` is a second descriptor on the slave through which the
// test reads the line settings and waits for input, without consuming any.
class Pty {
public:
    Pty()
    {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
            ADD_FAILURE() << "cannot create a pseudo-terminal: " << strerror(errno);
            return;
        }
        path_ = ptsname(master_);
        observer_ = open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (observer_ < 0)
            ADD_FAILURE() << "cannot open " << path_ << ": " << strerror(errno);
    }
    ~Pty()
    {
        if (observer_ >= 0)
            close(observer_);
        if (master_ >= 0)
            close(master_);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    const char* path() const { return path_.c_str(); }

    termios Settings() const
    {
        termios tio{};
        EXPECT_EQ(0, tcgetattr(observer_, &tio));
        return tio;
    }
    void Apply(const termios& tio) const { ASSERT_EQ(0, tcsetattr(observer_, TCSANOW, &tio)); }

    // Bytes the camera sends; returns once they are readable on the slave.
    void Send(const std::vector<unsigned char>& bytes) const
    {
        ASSERT_EQ(static_cast<ssize_t>(bytes.size()), write(master_, bytes.data(), bytes.size()));
        pollfd pfd{observer_, POLLIN, 0};
        ASSERT_EQ(1, poll(&pfd, 1, 5000)) << "the bytes never reached the slave";
    }

    // Everything the camera received within `ms` of the first byte.
    std::vector<unsigned char> Received(int ms = 2000) const
    {
        std::vector<unsigned char> out;
        pollfd pfd{master_, POLLIN, 0};
        while (poll(&pfd, 1, out.empty() ? ms : 50) == 1) {
            unsigned char buf[256];
            const ssize_t n = read(master_, buf, sizeof buf);
            if (n <= 0)
                break;
            out.insert(out.end(), buf, buf + n);
        }
        return out;
    }

private:
    int master_ = -1;
    int observer_ = -1;
    std::string path_;
};

std::vector<unsigned char> Bytes(const char* buf, long n)
{
    return n > 0 ? std::vector<unsigned char>(buf, buf + n) : std::vector<unsigned char>();
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

int OpenDescriptors()
{
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return -1;
    while (readdir(dir) != nullptr)
        ++count;
    closedir(dir);
    return count;
}

TEST(SerialPort, OpenPutsTheLineInto115200Raw8N1AndKeepsTheOtherInputFlags)
{
    Pty pty;
    // A line in cooked mode with every flag the port must clear set, plus two
    // input flags it must leave alone.
    termios before = pty.Settings();
    before.c_iflag |= ICRNL | INLCR | IXON | IXOFF | IXANY;
    before.c_lflag |= ICANON | ECHO | ECHOE | ISIG;
    before.c_oflag |= OPOST;
    before.c_cflag |= PARENB | CSTOPB;
    before.c_cflag = (before.c_cflag & ~CSIZE) | CS7;
    cfsetspeed(&before, B9600);
    pty.Apply(before);

    SerialPort port;
    ASSERT_EQ(0, port.OpenPort(pty.path()));
    EXPECT_TRUE(port.IsOpen());

    const termios after = pty.Settings();
    EXPECT_EQ(B115200, cfgetispeed(&after));
    EXPECT_EQ(B115200, cfgetospeed(&after));
    EXPECT_EQ(static_cast<tcflag_t>(CS8), after.c_cflag & CSIZE);
    EXPECT_EQ(0u, after.c_cflag & (PARENB | CSTOPB | CRTSCTS));
    EXPECT_EQ(static_cast<tcflag_t>(CLOCAL | CREAD), after.c_cflag & (CLOCAL | CREAD));
    EXPECT_EQ(0u, after.c_lflag & (ICANON | ECHO | ECHOE | ISIG));
    EXPECT_EQ(0u, after.c_iflag & (IXON | IXOFF | IXANY));
    EXPECT_EQ(static_cast<tcflag_t>(ICRNL | INLCR), after.c_iflag & (ICRNL | INLCR));
    EXPECT_EQ(0u, after.c_oflag & OPOST);
    EXPECT_EQ(100, after.c_cc[VTIME]);
    EXPECT_EQ(0, after.c_cc[VMIN]);
}

TEST(SerialPort, BytesTravelUntranslatedExceptThatCarriageReturnArrivesAsLineFeed)
{
    Pty pty;
    ASSERT_NE(0u, pty.Settings().c_iflag & ICRNL) << "a fresh pty has ICRNL set";
    SerialPort port;
    ASSERT_EQ(0, port.OpenPort(pty.path()));

    // Output is raw: a line feed is not expanded into CR LF.
    const char request[] = {'\xAA', '\x04', '\x01', '\x0A', '\x0D', '\xEB'};
    EXPECT_EQ(6, port.WritePort(request, sizeof request));
    EXPECT_EQ(Bytes(request, sizeof request), pty.Received());

    // Input keeps the line's ICRNL.
    pty.Send({0x55, 0x0D, 0x33});
    char reply[16] = {};
    const long n = port.ReadPort(reply, sizeof reply);
    EXPECT_EQ((std::vector<unsigned char>{0x55, 0x0A, 0x33}), Bytes(reply, n));
}

TEST(SerialPort, ReadTakesWhatIsPendingAndDiscardsTheRest)
{
    Pty pty;
    SerialPort port;
    ASSERT_EQ(0, port.OpenPort(pty.path()));
    char buf[16] = {};

    errno = 0;
    EXPECT_EQ(-1, port.ReadPort(buf, sizeof buf)) << "nothing pending: no wait";
    EXPECT_EQ(EAGAIN, errno);

    pty.Send({'a', 'b', 'c'});
    ASSERT_EQ(1, port.ReadPort(buf, 1));
    EXPECT_EQ('a', buf[0]);
    errno = 0;
    EXPECT_EQ(-1, port.ReadPort(buf, sizeof buf)) << "\"bc\" was discarded with the first read";
    EXPECT_EQ(EAGAIN, errno);

    pty.Send({'x', 'y', 'z'});
    const long n = port.ReadPort(buf, sizeof buf);
    EXPECT_EQ((std::vector<unsigned char>{'x', 'y', 'z'}), Bytes(buf, n));
}

TEST(SerialPort, SecondOpenReturns1AndLeavesTheOpenLineAsItWas)
{
    Pty first;
    Pty second;
    SerialPort port;
    ASSERT_EQ(0, port.OpenPort(first.path()));
    termios changed = first.Settings();
    changed.c_cc[VTIME] = 5;
    first.Apply(changed);

    EXPECT_EQ(1, port.OpenPort(second.path()));
    EXPECT_EQ(1, port.OpenPort(first.path()));
    EXPECT_TRUE(port.IsOpen());
    EXPECT_EQ(5, first.Settings().c_cc[VTIME]) << "the settings were not applied again";

    // Still talking to the first line.
    first.Send({0x42});
    char buf[4] = {};
    EXPECT_EQ(1, port.ReadPort(buf, sizeof buf));
    EXPECT_EQ(0x42, buf[0]);
}

TEST(SerialPort, CloseIsHarmlessWhenClosedAndThePortCanBeOpenedAgain)
{
    Pty pty;
    SerialPort port;
    port.ClosePort();
    EXPECT_FALSE(port.IsOpen());

    ASSERT_EQ(0, port.OpenPort(pty.path()));
    const int withPort = OpenDescriptors();
    port.ClosePort();
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(withPort - 1, OpenDescriptors()) << "the descriptor was closed";
    port.ClosePort();
    EXPECT_EQ(withPort - 1, OpenDescriptors());

    ASSERT_EQ(0, port.OpenPort(pty.path()));
    pty.Send({0x07});
    char buf[4] = {};
    EXPECT_EQ(1, port.ReadPort(buf, sizeof buf));
}

TEST(SerialPort, FailedOpensLogTheirCauseAndLeaveThePortClosed)
{
    ScratchDir dir;
    Logger::Init();
    SerialPort port;

    EXPECT_EQ(4, port.OpenPort("/dev/no-such-serial-node"));
    EXPECT_FALSE(port.IsOpen());

    std::ofstream("not-a-tty") << "plain file";
    const int before = OpenDescriptors();
    EXPECT_EQ(1, port.OpenPort("not-a-tty"));
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(before, OpenDescriptors()) << "the descriptor of the failed attempt was closed";

    const std::string log = ReadFile("VIVAZUZOZ.log");
    EXPECT_NE(std::string::npos, log.find(std::string(" :E :<OpenPort>:Open serial port failed, error code:") +
                                          strerror(ENOENT) + "\n"))
        << log;
    EXPECT_NE(std::string::npos, log.find(std::string(" :E :<OpenPort>:Get serial port config failed, error code:") +
                                          strerror(ENOTTY) + "\n"))
        << log;
    EXPECT_NE(std::string::npos, log.find("SerialPort.cpp :E :")) << "the source position is the port's own";

    // A failed attempt does not count as open.
    Pty pty;
    EXPECT_EQ(0, port.OpenPort(pty.path()));
}

}  // namespace

// Opens `path` with a SerialPort of a child process; the child's result.
int OpenInAnotherProcess(const char* path)
{
    const pid_t child = fork();
    if (child == 0) {
        SerialPort other;
        _exit(other.OpenPort(path));
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

TEST(SerialPort, TheOwnerKeepsItsPortAgainstOpensFromThisAndOtherProcesses)
{
    ScratchDir dir;
    Logger::Init();
    Pty pty;
    SerialPort owner;
    ASSERT_EQ(OZL_USB_SUCCESS, owner.OpenPort(pty.path()));
    // A reply on its way to the owner while others try the port.
    pty.Send({0x55, 0x05, 0x42, 0x33, 0x07});

    EXPECT_EQ(OZL_USB_OPEN_FAILED, OpenInAnotherProcess(pty.path()));
    SerialPort sameProcess;
    EXPECT_EQ(OZL_USB_OPEN_FAILED, sameProcess.OpenPort(pty.path()));
    EXPECT_FALSE(sameProcess.IsOpen());

    // Neither refused client flushed or reconfigured the owner's line.
    char buf[16] = {};
    EXPECT_EQ(5, owner.ReadPort(buf, sizeof buf));
    EXPECT_EQ(std::vector<unsigned char>({0x55, 0x05, 0x42, 0x33, 0x07}), Bytes(buf, 5));
    const termios line = pty.Settings();
    EXPECT_EQ(B115200, cfgetispeed(&line));
    EXPECT_NE(std::string::npos, ReadFile("VIVAZUZOZ.log").find("is in use by another client"));

    // Once the owner lets go, another process may take the port.
    owner.ClosePort();
    EXPECT_EQ(OZL_USB_SUCCESS, OpenInAnotherProcess(pty.path()));
}
