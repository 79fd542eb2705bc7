// listen_address.h - the ADDRESS:PORT the tool's servers listen on (serve,
// rtsp, monitor --metrics): parsing it, binding it for this process alone,
// and the addresses they print.
#pragma once

#include <Poco/Exception.h>
#include <Poco/Net/IPAddress.h>
#include <Poco/Net/ServerSocket.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vivatool {

// "127.0.0.1:8080", "[::1]:8080", "0.0.0.0:8080", "[::]:8080", "localhost:8080"
// or ":8080" (loopback). An IPv6 address needs its brackets.
bool ParseListen(const std::string& text, std::string& address, uint16_t& port);

// "127.0.0.1:8080" or "[::1]:8080" for a URL; a wildcard address shows as
// the loopback one, which reaches it from this machine.
std::string UrlHost(const std::string& address, uint16_t port);

// Whether `address` is a loopback address.
bool IsLoopback(const std::string& address);

// Parses an IPv4 or IPv6 address, the IPv6 wildcard "::" included (which
// Poco's own parser refuses).
bool ParseIpAddress(const std::string& text, Poco::Net::IPAddress& ip);

// Binds `address`:`port` for this process alone: a port that another
// program listens on is an error (EADDRINUSE), never shared. "::" listens on
// IPv6 and IPv4 both. Throws Poco::Exception.
Poco::Net::ServerSocket BindExclusive(const std::string& address, uint16_t port, int backlog);
// The same into a socket made by the caller (a Poco::Net::SecureServerSocket
// for TLS).
void BindExclusive(Poco::Net::ServerSocket& socket, const std::string& address, uint16_t port, int backlog);

// Whether the exception from BindExclusive says the port is taken.
bool AddressInUse(const Poco::Exception& e);

// What to say when BindExclusive failed, for people: "127.0.0.1:8080 is in
// use by another program (another vivazuzoz serve?); stop it or choose
// another port with --listen", or "cannot listen on [::]:8080: Permission
// denied". `command` names the usual other program, `option` the option
// that chose the port.
std::string BindFailure(const Poco::Exception& e, const std::string& address, uint16_t port, const std::string& command,
                        const std::string& option);

// The hosts ("192.0.2.7", "[2001:db8::7]") at which other machines reach a
// server listening on `address`: the machine's own addresses for a wildcard
// (IPv6 ones too for "::"), loopback last; the address itself otherwise.
std::vector<std::string> ReachableHosts(const std::string& address);

}  // namespace vivatool
