// library_use.h - the library initialised while any element of the process
// needs it.
#pragma once

namespace vivagst {

// The first LibraryUse initialises the library (its log in the tool's state
// folder), the last one to go deinitialises it. Thread-safe.
class LibraryUse {
public:
    LibraryUse();
    ~LibraryUse();
    LibraryUse(const LibraryUse&) = delete;
    LibraryUse& operator=(const LibraryUse&) = delete;

    // How many there are now: an element that runs holds one.
    static int Users();
};

}  // namespace vivagst
