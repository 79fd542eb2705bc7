#include "driver_rate.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace vivagst {

bool DriverRate(const std::string& node, int& num, int& den)
{
    if (node.empty())
        return false;
    const int fd = open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    v4l2_streamparm parm{};
    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    const bool stated = ioctl(fd, VIDIOC_G_PARM, &parm) == 0 && parm.parm.capture.timeperframe.numerator > 0 &&
                        parm.parm.capture.timeperframe.denominator > 0;
    close(fd);
    if (!stated)
        return false;
    num = static_cast<int>(parm.parm.capture.timeperframe.denominator);
    den = static_cast<int>(parm.parm.capture.timeperframe.numerator);
    return true;
}

}  // namespace vivagst
