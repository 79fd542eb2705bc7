#include <vivaclient/state_dir.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace vivaclient {

namespace {

// The user's working directory while a scope is active, else "". Command
// thread only.
std::string g_userDirectory;

std::string CurrentDirectory()
{
    char buffer[PATH_MAX];
    return getcwd(buffer, sizeof buffer) ? std::string(buffer) : std::string(".");
}

}  // namespace

bool MakeDirectories(const std::string& path, std::string& error)
{
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string part = path.substr(0, slash);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            error = "cannot create " + part + ": " + std::strerror(errno);
            return false;
        }
        if (slash == std::string::npos)
            return true;
    }
}

std::string StateDirectory()
{
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state && state[0] == '/')
        return std::string(state) + "/vivazuzoz";
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/')
        return std::string(home) + "/.local/state/vivazuzoz";
    return "";
}

StateDirectoryScope::StateDirectoryScope()
{
    const std::string folder = StateDirectory();
    if (folder.empty()) {
        error_ = "neither XDG_STATE_HOME nor HOME is set";
        return;
    }
    if (!MakeDirectories(folder, error_))
        return;
    const std::string user = CurrentDirectory();
    previous_ = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (previous_ < 0 || chdir(folder.c_str()) != 0) {
        error_ = "cannot enter " + folder + ": " + std::strerror(errno);
        if (previous_ >= 0)
            close(previous_);
        previous_ = -1;
        return;
    }
    g_userDirectory = user;
}

StateDirectoryScope::~StateDirectoryScope()
{
    if (previous_ < 0)
        return;
    if (fchdir(previous_) != 0) {
        // The user's folder went away meanwhile; nothing to return to.
    }
    close(previous_);
    g_userDirectory.clear();
}

void RunInStateDirectory(const std::function<void()>& work)
{
    bool done = false;
    std::thread alone([&] {
        if (unshare(CLONE_FS) != 0)
            return;
        const std::string folder = StateDirectory();
        std::string error;
        if (!folder.empty() && MakeDirectories(folder, error) && chdir(folder.c_str()) != 0) {
            // Not entered: work() runs in the process's working directory.
        }
        work();
        done = true;
    });
    alone.join();
    if (!done) {
        StateDirectoryScope folder;
        work();
    }
}

std::string UserPath(const std::string& path)
{
    if (path.empty() || path[0] == '/')
        return path;
    const std::string base = g_userDirectory.empty() ? CurrentDirectory() : g_userDirectory;
    return base + "/" + path;
}

std::string AsTyped(std::string message, const std::string& resolved, const std::string& typed)
{
    if (resolved.empty() || resolved == typed)
        return message;
    for (size_t at = message.find(resolved); at != std::string::npos; at = message.find(resolved, at + typed.size()))
        message.replace(at, resolved.size(), typed);
    return message;
}

}  // namespace vivaclient
