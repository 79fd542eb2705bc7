// run_tool.h - runs the tool's command dispatcher in this process and keeps
// what it printed.
#pragma once

#include "commands.h"

#include <cstdio>
#include <string>
#include <vector>

struct ToolRun {
    int status;
    std::string out;
    std::string err;
};

inline std::string DrainTemporaryFile(FILE* f)
{
    std::string text;
    std::rewind(f);
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
        text.append(buffer, n);
    std::fclose(f);
    return text;
}

inline ToolRun RunCaptured(const std::vector<std::string>& args)
{
    FILE* out = std::tmpfile();
    FILE* err = std::tmpfile();
    const int status = vivatool::RunTool(args, out, err, false);
    return ToolRun{status, DrainTemporaryFile(out), DrainTemporaryFile(err)};
}
