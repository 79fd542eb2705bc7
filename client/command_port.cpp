#include <vivaclient/command_port.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace vivaclient {

namespace {

bool AllDigits(const char* text)
{
    if (*text == '\0')
        return false;
    for (; *text; ++text)
        if (*text < '0' || *text > '9')
            return false;
    return true;
}

// Whether one of process `pid`'s descriptors is the device node `node`: the
// same device on the same file system (a process in another container may
// have a terminal of the same number open on a devpts of its own).
bool ProcessHasDevice(const std::string& pid, const struct stat& node)
{
    const std::string folder = "/proc/" + pid + "/fd";
    DIR* fds = opendir(folder.c_str());
    if (!fds)
        return false;  // gone, or not ours to look at
    bool found = false;
    while (const dirent* entry = readdir(fds)) {
        if (!AllDigits(entry->d_name))
            continue;
        struct stat info {};
        if (stat((folder + "/" + entry->d_name).c_str(), &info) == 0 && S_ISCHR(info.st_mode) &&
            info.st_rdev == node.st_rdev && info.st_dev == node.st_dev) {
            found = true;
            break;
        }
    }
    closedir(fds);
    return found;
}

}  // namespace

bool OpenElsewhere(const std::string& path)
{
    struct stat node {};
    if (stat(path.c_str(), &node) != 0 || !S_ISCHR(node.st_mode))
        return false;
    DIR* processes = opendir("/proc");
    if (!processes)
        return false;
    const std::string self = std::to_string(getpid());
    bool found = false;
    while (const dirent* entry = readdir(processes)) {
        if (!AllDigits(entry->d_name) || self == entry->d_name)
            continue;
        if (ProcessHasDevice(entry->d_name, node)) {
            found = true;
            break;
        }
    }
    closedir(processes);
    return found;
}

PortPreparation PrepareCommandPort(const std::string& path)
{
    if (path.empty())
        return PortPreparation::Failed;
    if (OpenElsewhere(path))
        return PortPreparation::InUse;
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno == EBUSY ? PortPreparation::InUse : PortPreparation::Failed;
    PortPreparation outcome = PortPreparation::AlreadyClear;
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) {
        outcome = PortPreparation::Failed;
    } else if (settings.c_iflag & ICRNL) {
        settings.c_iflag &= ~static_cast<tcflag_t>(ICRNL);
        outcome = tcsetattr(fd, TCSANOW, &settings) == 0 ? PortPreparation::Cleared : PortPreparation::Failed;
    }
    close(fd);
    return outcome;
}

}  // namespace vivaclient
