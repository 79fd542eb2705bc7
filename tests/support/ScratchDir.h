// ScratchDir - a fresh temporary working directory for one test, so that the
// log file and anything else written to the working directory stays private.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <unistd.h>

class ScratchDir {
public:
    ScratchDir()
    {
        char templ[] = "/tmp/vivazuzoz-test-XXXXXX";
        const char* dir = mkdtemp(templ);
        if (dir == nullptr || getcwd(m_previous, sizeof m_previous) == nullptr || chdir(dir) != 0) {
            ADD_FAILURE() << "cannot create a scratch directory";
            return;
        }
        m_path = dir;
    }
    ~ScratchDir()
    {
        if (m_path.empty())
            return;
        if (chdir(m_previous) != 0)
            return;
        std::string cmd = "rm -rf '" + m_path + "'";
        if (std::system(cmd.c_str()) != 0)
            ADD_FAILURE() << "cannot remove " << m_path;
    }
    const std::string& path() const { return m_path; }

    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

private:
    char m_previous[4096] = {};
    std::string m_path;
};
