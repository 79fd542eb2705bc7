#include "library_use.h"

#include <vivaclient/camera.h>
#include <vivaclient/core_output.h>

#include <gst/gst.h>

#include <mutex>

GST_DEBUG_CATEGORY_STATIC(vivazuzoz_core_debug);
#define GST_CAT_DEFAULT vivazuzoz_core_debug

namespace vivagst {

namespace {

// The end of the library's lines an error shows.
constexpr size_t kShownLimit = 4096;

std::mutex g_mutex;
int g_users = 0;  // guarded by g_mutex

// The capture of the library's lines: only what its own code writes, in an
// application that prints what it likes; in a program that captured them
// first (the tool, Python), that capture.
vivaclient::CoreOutput& CoreLines()
{
    FILE* out = stdout;
    FILE* err = stderr;
    return vivaclient::CoreOutput::Install(out, err, true, &vivaclient::CoreOutput::LibraryOnStack);
}

// The library's progress is information, its failures warnings.
void LogCoreLine(const std::string& line, bool error)
{
    if (error)
        GST_WARNING("%s", line.c_str());
    else
        GST_INFO("%s", line.c_str());
}

}  // namespace

LibraryUse::LibraryUse()
{
    std::lock_guard<std::mutex> hold(g_mutex);
    if (g_users++ == 0) {
        // The source's own category: the name returns the same one.
        GST_DEBUG_CATEGORY_INIT(vivazuzoz_core_debug, "vivazuzozsrc", 0, "USB thermal camera source");
        CoreLines().SetLineListener(LogCoreLine);
    }
    session_ = std::make_unique<vivaclient::LibrarySession>();
}

LibraryUse::~LibraryUse()
{
    std::lock_guard<std::mutex> hold(g_mutex);
    session_.reset();
    --g_users;
}

int LibraryUse::Users()
{
    std::lock_guard<std::mutex> hold(g_mutex);
    return g_users;
}

std::string LibraryUse::TakeCoreLines()
{
    std::string lines = CoreLines().TakeHeld();
    if (lines.size() > kShownLimit)
        lines.erase(0, lines.find('\n', lines.size() - kShownLimit) + 1);
    while (!lines.empty() && lines.back() == '\n')
        lines.pop_back();
    return lines;
}

}  // namespace vivagst
