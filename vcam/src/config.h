// Config - the virtual cameras a process starts with, as the wrapper passes
// them to the preloaded library in the environment variable kConfigVariable:
// "key=value" pairs separated by ';', with '%', ';' and '=' in values written
// as %XX.
#pragma once

#include "vcam/VirtualCamera.h"

#include <string>

namespace vcam {
namespace detail {

constexpr const char* kConfigVariable = "VIVAZUZOZ_VCAM";

struct Config {
    int cameras = 1;
    CameraSetup setup;     // every camera gets this setup (its own USB location)
    bool verbose = false;  // print each camera's nodes to standard error
};

std::string EncodeConfig(const Config& config);
// False (and `error` set) for an unknown key or a bad value.
bool DecodeConfig(const std::string& text, Config* config, std::string* error);

// Parsers shared by the wrapper's options and the decoder.
bool ParseSize(const std::string& text, int* width, int* height);
bool ParseShutterLook(const std::string& text, ShutterLook* look);    // freeze, flat
bool ParseFault(const std::string& text, PortFault* fault, int* ms);  // NAME[:MS]

}  // namespace detail
}  // namespace vcam
