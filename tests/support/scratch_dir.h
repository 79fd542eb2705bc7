// ScratchDir - a fresh temporary working directory for one test, so that the
// log file and anything else written to the working directory stays private.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>
#include <cstdlib>
#include <string>

class ScratchDir {
public:
    ScratchDir()
    {
        char templ[] = "/tmp/vivazuzoz-test-XXXXXX";
        const char* dir = mkdtemp(templ);
        if (dir == nullptr || getcwd(previous_, sizeof previous_) == nullptr || chdir(dir) != 0) {
            ADD_FAILURE() << "cannot create a scratch directory";
            return;
        }
        path_ = dir;
    }
    ~ScratchDir()
    {
        if (path_.empty())
            return;
        if (chdir(previous_) != 0)
            return;
        std::string cmd = "rm -rf '" + path_ + "'";
        if (std::system(cmd.c_str()) != 0)
            ADD_FAILURE() << "cannot remove " << path_;
    }
    const std::string& path() const { return path_; }

    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

private:
    char previous_[4096] = {};
    std::string path_;
};
