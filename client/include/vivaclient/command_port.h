// command_port.h - the camera's command port made ready before the library
// opens it.
//
// The library puts the port into raw 8-N-1 mode but keeps the tty's input
// flags as it finds them, and a new tty has ICRNL set: every received
// carriage return (0x0D) is then delivered as a line feed (0x0A). Replies are
// binary, so a value whose wire bytes contain 0x0D comes back changed (an
// emissivity of 0.34 reads 0.2632). Clearing ICRNL once, before the library
// opens the port, makes replies arrive byte for byte; the driver keeps the
// flag across close and open. In a shell: stty -F /dev/ttyACM0 -icrnl.
#pragma once

#include <string>

namespace vivaclient {

enum class PortPreparation {
    Cleared,       // ICRNL was set and is now cleared
    AlreadyClear,  // nothing to do
    InUse,         // another process has the port open: left alone
    Failed,        // the port could not be opened or its settings not changed
};

// Clears ICRNL on the tty at `path` and nothing else: open, tcgetattr,
// tcsetattr, close. A port that another process has open is left alone, so
// that a program using it is not disturbed.
PortPreparation PrepareCommandPort(const std::string& path);

// Whether a process other than this one has the character device at `path`
// open (as far as /proc shows this process).
bool OpenElsewhere(const std::string& path);

}  // namespace vivaclient
