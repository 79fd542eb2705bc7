// core_output.h - the library's own lines on standard output and standard
// error (the capture core's progress and failures), kept out of sight.
//
// The library writes them through the C streams `stdout` and `stderr`. The
// tool gives both of those names one stream of its own and keeps its real
// standard output and error for its results and messages. What arrives is
// passed straight on to the real standard error in verbose mode, and
// otherwise held (the last kHeldLimit bytes) so that a command can show it
// when something fails, typically an open, whose reason only these lines
// give. Descriptors are not touched: child processes and the sanitizers still
// write to the real ones.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>

namespace vivaclient {

class CoreOutput {
public:
    static constexpr size_t kHeldLimit = 64 * 1024;

    // Replaces the C streams stdout and (with `captureErrors`) stderr with
    // the capture; `out` and `err` become the program's own streams (the
    // originals). Call once, before any other thread prints.
    static CoreOutput& Install(FILE*& out, FILE*& err, bool captureErrors = true);

    void SetVerbose(bool on);
    bool verbose() const;

    // Writes what was held to the tool's standard error, under a heading,
    // and forgets it. Nothing when nothing was held.
    void ShowHeld();
    std::string held() const;
    // What was held, forgotten here (for a program that logs it itself).
    std::string TakeHeld();

private:
    CoreOutput(FILE* shownTo) : shownTo_(shownTo) {}
    static ssize_t Write(void* cookie, const char* data, size_t size);

    FILE* const shownTo_;
    mutable std::mutex mutex_;
    // Guarded by `mutex_`: written by whichever thread the library prints on.
    bool verbose_ = false;
    std::string held_;
};

}  // namespace vivaclient
