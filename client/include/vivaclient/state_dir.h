// state_dir.h - where the library's log goes, and what the user's relative
// paths mean meanwhile.
//
// The library writes its log, VIVAZUZOZ.log, in the working directory. The
// tool runs the library from its own state folder, $XDG_STATE_HOME/vivazuzoz
// (else ~/.local/state/vivazuzoz), so the log lands there and not wherever
// the user happened to be. While a library session has that folder as the
// working directory, paths the user typed are resolved with UserPath.
#pragma once

#include <functional>
#include <string>

namespace vivaclient {

// The state folder's path (not created): "" when neither XDG_STATE_HOME nor
// HOME is set to an absolute path.
std::string StateDirectory();

// mkdir -p, mode 0700 for the folders it makes (the state folder may hold
// what cameras a user has, and keys). False with a message on failure.
bool MakeDirectories(const std::string& path, std::string& error);

// Makes the state folder the working directory for its lifetime, creating
// the folder if needed; when that fails, the working directory stays as it
// was and error() says why. Not nestable. It changes the working directory
// of the whole process: for a program whose other threads may be using
// relative paths meanwhile, RunInStateDirectory.
class StateDirectoryScope {
public:
    StateDirectoryScope();
    ~StateDirectoryScope();
    StateDirectoryScope(const StateDirectoryScope&) = delete;
    StateDirectoryScope& operator=(const StateDirectoryScope&) = delete;

    const std::string& error() const { return error_; }

private:
    int previous_ = -1;  // descriptor of the user's working directory
    std::string error_;
};

// Runs work() with the state folder (created if needed) as its working
// directory, without changing the working directory the rest of the process
// sees: on a thread of its own that stops sharing the process's working
// directory (unshare(CLONE_FS)), joined before this returns. Threads that
// work() starts keep that folder as theirs. Where the system refuses the
// unshare, the whole process moves for the call (StateDirectoryScope); where
// the folder cannot be entered, work() runs where it is.
void RunInStateDirectory(const std::function<void()>& work);

// `path` as the user meant it: relative paths are taken from the directory
// the user ran the tool in, also while a StateDirectoryScope is active.
std::string UserPath(const std::string& path);

// `message` with the path UserPath made (`resolved`) written as the user
// typed it (`typed`), so that messages name files as the user knows them.
std::string AsTyped(std::string message, const std::string& resolved, const std::string& typed);

}  // namespace vivaclient
