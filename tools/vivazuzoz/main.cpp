// vivazuzoz - command-line tool for USB thermal cameras, built on the
// library's public interface only.
#include "commands.h"

#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

int main(int argc, char** argv)
{
    // The library's capture core prints progress to standard output. Route
    // that to standard error and keep the real standard output for the
    // tool's own results, so that --json output can be piped as it is.
    FILE* out = stdout;
    const int outFd = dup(STDOUT_FILENO);
    if (outFd >= 0) {
        if (FILE* own = fdopen(outFd, "w")) {
            out = own;
            std::fflush(stdout);
            dup2(STDERR_FILENO, STDOUT_FILENO);
        } else {
            close(outFd);
        }
    }
    const bool terminal = isatty(fileno(out)) == 1;

    const std::vector<std::string> args(argv + 1, argv + argc);
    const int status = vivatool::RunTool(args, out, stderr, terminal);
    if (out != stdout && std::fclose(out) != 0 && status == 0)
        return vivatool::kExitFailure;
    return status;
}
