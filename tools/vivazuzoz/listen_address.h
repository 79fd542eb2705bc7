// listen_address.h - the --listen ADDRESS:PORT of the tool's servers
// (serve, rtsp), and the host part of the address they print.
#pragma once

#include <cstdint>
#include <string>

namespace vivatool {

// "127.0.0.1:8080", "[::1]:8080", "0.0.0.0:8080" or ":8080" (loopback).
bool ParseListen(const std::string& text, std::string& address, uint16_t& port);

// "127.0.0.1:8080" or "[::1]:8080" for a URL; a wildcard address shows as
// the loopback one, which reaches it from this machine.
std::string UrlHost(const std::string& address, uint16_t port);

// Whether `address` is a loopback address.
bool IsLoopback(const std::string& address);

}  // namespace vivatool
