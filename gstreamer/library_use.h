// library_use.h - the library initialised while any element of the process
// needs it, and its own lines kept out of the program's output.
#pragma once

#include <memory>
#include <string>

namespace vivaclient {
class LibrarySession;
}

namespace vivagst {

// Each LibraryUse holds a session of the client layer's (vivaclient::
// LibrarySession): the library is initialised while any element, the tool or
// the Python package in the process uses it. Thread-safe.
//
// The first one also catches what the library's capture core prints on the
// C streams (client/core_output.h), once per process: those lines go to the
// vivazuzozsrc debug category (GST_DEBUG=vivazuzozsrc:4 shows them), never
// into the program's standard output, where an fdsink or an application's
// own output would have them mixed in.
class LibraryUse {
public:
    LibraryUse();
    ~LibraryUse();
    LibraryUse(const LibraryUse&) = delete;
    LibraryUse& operator=(const LibraryUse&) = delete;

    // How many LibraryUse there are now: an element that runs holds one.
    static int Users();

    // What the library printed since the last call (the end of it, at most
    // a few kilobytes), for an error that only those lines explain.
    static std::string TakeCoreLines();

private:
    std::unique_ptr<vivaclient::LibrarySession> session_;
};

}  // namespace vivagst
