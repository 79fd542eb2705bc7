// vivazuzoz - command-line tool for USB thermal cameras, built on the
// library's public interface only.
#include <vivaclient/core_output.h>
#include "commands.h"

#include <unistd.h>
#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    // The library prints its own progress through the C streams; the tool
    // keeps them out of sight (core_output.h) and its own streams for its
    // results and messages, so that --json output can be piped as it is.
    FILE* out = stdout;
    FILE* err = stderr;
    vivaclient::CoreOutput& core = vivaclient::CoreOutput::Install(out, err);
    const bool terminal = isatty(fileno(out)) == 1;

    const std::vector<std::string> args(argv + 1, argv + argc);
    const int status = vivatool::RunTool(args, out, err, terminal, &core);
    if (std::fflush(out) != 0 && status == vivatool::kExitOk)
        return vivatool::kExitFailure;
    return status;
}
