// progress.h - the tool's status lines.
//
// The tool's convention: a command whose figures are its results (stream)
// prints them on stdout, rewritten in place on a terminal and one line per
// report otherwise, so that they can be piped and logged. A command whose
// result is a file or a summary (record, replay) shows its progress on
// stderr, and only when stderr is a terminal: piped or logged, it prints
// its results alone.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace vivatool {

// What the stream has seen so far.
struct StreamFigures {
    uint64_t frames = 0;
    double seconds = 0;     // since streaming began
    double rate = 0;        // frames per second between the first and the last frame
    bool withTemp = false;  // the frames carry temperatures
    int min = 0;            // tenths of a degree, over the frames counted
    int max = 0;
    uint64_t shutterFrames = 0;   // frames taken during a shutter correction
    uint64_t settlingFrames = 0;  // frames taken just after one
    bool shutter = false;         // the flags of the latest frame
    bool settling = false;
};

// "250 frames in 10.0 s, 25.0 fps, 20.1 to 45.3 degrees".
std::string DescribeStream(const StreamFigures& figures);

// A status line that is rewritten in place on a terminal and printed as
// separate lines otherwise (a log or a pipe should not fill with carriage
// returns).
class ProgressLine {
public:
    // Results: on `out`, which is a terminal or not.
    ProgressLine(FILE* out, bool terminal) : out_(out), terminal_(terminal) {}
    // Progress of work: on `err` when it is a terminal, else nowhere.
    struct OfWork {};
    ProgressLine(FILE* err, OfWork);
    ~ProgressLine() { Finish(); }
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    void Update(const std::string& text);
    // Ends a line left open on a terminal; safe to call more than once.
    void Finish();

private:
    FILE* out_;
    bool terminal_;
    bool silent_ = false;  // progress of work, not on a terminal
    size_t shown_ = 0;     // length of the text on the terminal's current line
};

}  // namespace vivatool
