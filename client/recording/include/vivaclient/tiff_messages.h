// tiff_messages.h - libtiff's messages kept with the file instead of printed,
// so that a failure can say what went wrong (the recording format and the
// TIFF snapshots open their files with these options).
#pragma once

#include <tiffio.h>

#include <cstdarg>
#include <cstdio>
#include <string>

namespace vivaclient {

class TiffMessages {
public:
    // Errors go to `*messages` (the first one is kept); warnings are dropped.
    explicit TiffMessages(std::string* messages) : options(TIFFOpenOptionsAlloc())
    {
        TIFFOpenOptionsSetErrorHandlerExtR(options, KeepMessage, messages);
        TIFFOpenOptionsSetWarningHandlerExtR(options, IgnoreWarning, nullptr);
    }
    ~TiffMessages() { TIFFOpenOptionsFree(options); }
    TiffMessages(const TiffMessages&) = delete;
    TiffMessages& operator=(const TiffMessages&) = delete;

    TIFFOpenOptions* options;

private:
    static int KeepMessage(TIFF*, void* user, const char* module, const char* format, va_list args)
    {
        auto* messages = static_cast<std::string*>(user);
        char text[512];
        std::vsnprintf(text, sizeof text, format, args);
        if (messages->empty())
            *messages = (module ? std::string(module) + ": " : std::string()) + text;
        return 1;  // handled: nothing reaches standard error
    }
    static int IgnoreWarning(TIFF*, void*, const char*, const char*, va_list) { return 1; }
};

}  // namespace vivaclient
