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
// write to the real ones, and so does code that writes to fileno(stdout) or
// fileno(stderr), which still name them (an interpreter's fatal-error report).
//
// A program that shares the process with other code (an interpreter, a
// GStreamer application) says which writes are the library's; the others go
// to the stream they were written to, as if nothing were captured.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>

namespace vivaclient {

class CoreOutput {
public:
    static constexpr size_t kHeldLimit = 64 * 1024;

    // Whether the text being written now is the library's; called on the
    // writing thread.
    using Attribution = bool (*)();
    // One complete line of the library's, without its newline; `error`:
    // written to stderr. Called on the thread that wrote it.
    using LineListener = void (*)(const std::string& line, bool error);

    // Replaces the C streams stdout and (with `captureErrors`) stderr with
    // the capture; `out` and `err` become the program's own streams (the
    // originals). With `libraryWrites`, only what it attributes to the
    // library is captured. Once per process: later calls return the first
    // capture as it is. Call it before any other thread prints.
    static CoreOutput& Install(FILE*& out, FILE*& err, bool captureErrors = true, Attribution libraryWrites = nullptr);

    // An Attribution for code that cannot mark the library's threads (the
    // GStreamer elements inside any application): a write is the library's
    // when the library's code is on the writing thread's stack, as it is
    // under the capture core's printf on any thread.
    static bool LibraryOnStack();

    void SetVerbose(bool on);
    bool verbose() const;
    // Where each line of the library's goes besides being held (null:
    // nowhere). What the listener itself writes is never the library's.
    void SetLineListener(LineListener listener);

    // Writes what was held to the tool's standard error, under a heading,
    // and forgets it. Nothing when nothing was held.
    void ShowHeld();
    std::string held() const;
    // What was held, forgotten here (for a program that logs it itself).
    std::string TakeHeld();

private:
    struct Capture;  // one captured stream
    CoreOutput(FILE* shownTo, Attribution libraryWrites) : shownTo_(shownTo), libraryWrites_(libraryWrites) {}
    // A stream in place of `original` whose writes reach Write.
    FILE* Open(FILE* original, bool error);
    static ssize_t Write(void* cookie, const char* data, size_t size);
    // Holds or shows `data`; the complete lines for the listener go to `lines`.
    void Take(Capture& capture, const char* data, size_t size, std::string& lines);

    FILE* const shownTo_;
    const Attribution libraryWrites_;
    mutable std::mutex mutex_;
    // Guarded by `mutex_`: written by whichever thread the library prints on.
    bool verbose_ = false;
    LineListener listener_ = nullptr;
    std::string held_;
    // Set once by Install, before any write: the cookies of the stdout and
    // stderr captures.
    Capture* captures_[2] = {nullptr, nullptr};
};

}  // namespace vivaclient
