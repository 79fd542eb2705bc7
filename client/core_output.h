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
//
// Inside someone else's program (the GStreamer elements in gst-launch-1.0 or
// an OpenCV application) the C streams belong to that program: InstallShared
// takes only the writes whose call stack passes through the library's code
// and lets every other write through to the real stream, unchanged.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>

namespace vivaclient {

class CoreOutput {
public:
    static constexpr size_t kHeldLimit = 64 * 1024;

    // One complete line the library wrote, without its newline; `error`:
    // written to stderr. Called on the thread that wrote it.
    using LineListener = void (*)(const std::string& line, bool error);

    // Replaces the C streams stdout and (with `captureErrors`) stderr with
    // the capture; `out` and `err` become the program's own streams (the
    // originals). Call once, before any other thread prints.
    static CoreOutput& Install(FILE*& out, FILE*& err, bool captureErrors = true);

    // For a library inside another program: replaces both C streams with
    // captures that hold only what the library's own code writes, and pass
    // every other write on to the original stream. Once per process and
    // thread-safe; after Install (the tool, Python) that capture stays as it is.
    static CoreOutput& InstallShared();

    void SetVerbose(bool on);
    bool verbose() const;
    // Where each captured line goes besides being held (null: nowhere).
    void SetLineListener(LineListener listener);

    // Writes what was held to the tool's standard error, under a heading,
    // and forgets it. Nothing when nothing was held.
    void ShowHeld();
    std::string held() const;
    // What was held, forgotten here (for a program that logs it itself).
    std::string TakeHeld();

private:
    struct Stream;
    CoreOutput(FILE* shownTo, bool libraryOnly) : shownTo_(shownTo), libraryOnly_(libraryOnly) {}
    static CoreOutput& Make(bool captureErrors, bool libraryOnly);
    static ssize_t Write(void* cookie, const char* data, size_t size);
    // Holds or shows `data`; the complete lines for the listener go to `lines`.
    void Take(Stream& stream, const char* data, size_t size, std::string& lines);

    FILE* shownTo_;           // the real stderr; set once, before the captures exist
    const bool libraryOnly_;  // InstallShared: other writes pass through
    mutable std::mutex mutex_;
    // Guarded by `mutex_`: written by whichever thread the library prints on.
    bool verbose_ = false;
    LineListener listener_ = nullptr;
    std::string held_;
};

}  // namespace vivaclient
