#include "SerialPort.h"

#include "Logger.h"
#include "VIVAZUZOZ.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Raw 8-N-1 at 115200 baud without flow control. Only the flags named here
// change: every other input flag keeps the value the line had, ICRNL among
// them, so a carriage return from the camera still arrives as a line feed.
void MakeRaw(termios& tio)
{
    cfsetospeed(&tio, B115200);
    cfsetispeed(&tio, B115200);
    tio.c_cflag &= ~(PARENB | CSTOPB | CSIZE | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_lflag &= ~(ICANON | ECHO | ECHOE | ISIG);
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    tio.c_oflag &= ~OPOST;
    // The descriptor is non-blocking, so VMIN/VTIME never delay a read; they
    // only matter to anyone who turns blocking back on.
    tio.c_cc[VTIME] = 100;
    tio.c_cc[VMIN] = 0;
}

}  // namespace

SerialPort::SerialPort() : m_fd(-1), m_isOpen(false) {}

SerialPort::~SerialPort()
{
    ClosePort();
}

int SerialPort::OpenPort(const char* path)
{
    if (m_isOpen)
        return OZL_USB_FAILURE;

    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_SYNC);
    if (fd == -1) {
        Logger::Print(Logger::Error, __FILE__, __LINE__, "OpenPort", "Open serial port failed, error code:%s",
                      strerror(errno));
        return OZL_USB_OPEN_FAILED;
    }

    // The port has one owner: the claim comes before anything that changes
    // the line, so a client that is refused has neither reconfigured nor
    // flushed the owner's port. The advisory lock holds against every other
    // client of this library, in any process; exclusive mode also refuses
    // further opens of the tty by other programs (root excepted).
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        Logger::Print(Logger::Error, __FILE__, __LINE__, "OpenPort",
                      "Serial port %s is in use by another client, error code:%s", path, strerror(errno));
        close(fd);
        return OZL_USB_OPEN_FAILED;
    }
    ioctl(fd, TIOCEXCL);

    termios tio;
    if (tcgetattr(fd, &tio) != 0) {
        Logger::Print(Logger::Error, __FILE__, __LINE__, "OpenPort", "Get serial port config failed, error code:%s",
                      strerror(errno));
        close(fd);
        return OZL_USB_FAILURE;
    }
    MakeRaw(tio);
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        Logger::Print(Logger::Error, __FILE__, __LINE__, "OpenPort", "Set serial port config failed, error code:%s",
                      strerror(errno));
        close(fd);
        return OZL_USB_FAILURE;
    }
    tcflush(fd, TCIOFLUSH);
    m_fd = fd;
    m_isOpen = true;
    return OZL_USB_SUCCESS;
}

void SerialPort::ClosePort()
{
    if (!m_isOpen)
        return;
    m_isOpen = false;
    ioctl(m_fd, TIOCNXCL);
    close(m_fd);  // also drops the advisory lock
    m_fd = -1;
}

long SerialPort::ReadPort(char* buf, unsigned long len)
{
    const long n = read(m_fd, buf, len);
    // The caller looks at errno when the read failed; the flush must not
    // overwrite it.
    const int readErrno = errno;
    tcflush(m_fd, TCIOFLUSH);
    errno = readErrno;
    return n;
}

long SerialPort::WritePort(const char* buf, unsigned long len)
{
    return write(m_fd, buf, len);
}

bool SerialPort::IsOpen() const
{
    return m_isOpen;
}
