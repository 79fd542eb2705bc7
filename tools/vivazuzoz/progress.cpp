#include "progress.h"

#include <unistd.h>

#include "temperature_csv.h"

namespace vivatool {

std::string DescribeStream(const StreamFigures& figures)
{
    char time[32];
    std::snprintf(time, sizeof time, "%.1f", figures.seconds);
    char rate[32];
    std::snprintf(rate, sizeof rate, "%.1f", figures.rate);
    std::string text = std::to_string(figures.frames) + (figures.frames == 1 ? " frame" : " frames") + " in " + time +
                       " s, " + rate + " fps";
    if (!figures.withTemp)
        text += ", no temperatures on this stream";
    else if (figures.frames > 0)
        text += ", " + FormatTenths(figures.min) + " to " + FormatTenths(figures.max) + " degrees";
    return text;
}

ProgressLine::ProgressLine(FILE* err, OfWork) : out_(err), terminal_(isatty(fileno(err)) == 1), silent_(!terminal_) {}

void ProgressLine::Update(const std::string& text)
{
    if (silent_)
        return;
    if (!terminal_) {
        std::fprintf(out_, "%s\n", text.c_str());
        std::fflush(out_);
        return;
    }
    // Blank out what is left of a longer previous text.
    const size_t pad = shown_ > text.size() ? shown_ - text.size() : 0;
    std::fprintf(out_, "\r%s%*s", text.c_str(), static_cast<int>(pad), "");
    std::fflush(out_);
    shown_ = text.size();
}

void ProgressLine::Finish()
{
    if (terminal_ && shown_ > 0) {
        std::fputc('\n', out_);
        std::fflush(out_);
    }
    shown_ = 0;
}

}  // namespace vivatool
