#include "listen_address.h"

#include <vivaclient/number_text.h>

#include <Poco/Net/IPAddress.h>
#include <Poco/Net/SocketAddress.h>

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vivatool {
using namespace vivaclient;

bool ParseListen(const std::string& text, std::string& address, uint16_t& port)
{
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos)
        return false;
    std::string host = text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    else if (host.find(':') != std::string::npos)
        return false;  // "::1:80" could be an address without a port
    if (host.empty())
        host = "127.0.0.1";
    if (host == "localhost")
        host = "127.0.0.1";
    Poco::Net::IPAddress ip;
    if (!ParseIpAddress(host, ip))
        return false;
    const auto number = ParseInteger(text.substr(colon + 1));
    if (!number || *number < 0 || *number > 65535)
        return false;
    address = host;
    port = static_cast<uint16_t>(*number);
    return true;
}

std::string UrlHost(const std::string& address, uint16_t port)
{
    Poco::Net::IPAddress ip;
    std::string host = address;
    if (ParseIpAddress(address, ip)) {
        if (ip.isWildcard())
            host = ip.family() == Poco::Net::IPAddress::IPv6 ? "::1" : "127.0.0.1";
        if (ip.family() == Poco::Net::IPAddress::IPv6)
            host = "[" + host + "]";
    }
    return host + ":" + std::to_string(port);
}

bool IsLoopback(const std::string& address)
{
    Poco::Net::IPAddress ip;
    return ParseIpAddress(address, ip) && ip.isLoopback();
}

bool ParseIpAddress(const std::string& text, Poco::Net::IPAddress& ip)
{
    if (text == "::") {
        ip = Poco::Net::IPAddress::wildcard(Poco::Net::IPAddress::IPv6);
        return true;
    }
    return Poco::Net::IPAddress::tryParse(text, ip);
}

Poco::Net::ServerSocket BindExclusive(const std::string& address, uint16_t port, int backlog)
{
    Poco::Net::ServerSocket socket;
    BindExclusive(socket, address, port, backlog);
    return socket;
}

void BindExclusive(Poco::Net::ServerSocket& socket, const std::string& address, uint16_t port, int backlog)
{
    const Poco::Net::SocketAddress where(address, port);
    // SO_REUSEADDR lets a restarted server bind while the last run's
    // connections wait out TIME_WAIT; it never lets two sockets listen on one
    // port. SO_REUSEPORT would, so it stays off.
    if (where.family() == Poco::Net::SocketAddress::IPv6)
        socket.bind6(where, /*reuseAddress=*/true, /*reusePort=*/false, /*ipV6Only=*/false);
    else
        socket.bind(where, /*reuseAddress=*/true, /*reusePort=*/false);
    socket.listen(backlog);
}

bool AddressInUse(const Poco::Exception& e)
{
    return e.code() == EADDRINUSE;
}

std::string BindFailure(const Poco::Exception& e, const std::string& address, uint16_t port, const std::string& command,
                        const std::string& option)
{
    const std::string where = (address.find(':') != std::string::npos ? "[" + address + "]" : address) + ":" +
                              std::to_string(port);
    if (AddressInUse(e))
        return where + " is in use by another program (another vivazuzoz " + command +
               "?); stop it or choose another port with " + option;
    // The system's reason alone, without Poco's "Net Exception: ..." prefix.
    return "cannot listen on " + where + ": " + (e.code() > 0 ? std::strerror(e.code()) : e.message());
}

std::vector<std::string> ReachableHosts(const std::string& address)
{
    Poco::Net::IPAddress ip;
    if (!ParseIpAddress(address, ip))
        return {address};
    const bool v6 = ip.family() == Poco::Net::IPAddress::IPv6;
    if (!ip.isWildcard())
        return {v6 ? "[" + address + "]" : address};
    std::vector<std::string> hosts, loopback;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) == 0) {
        for (const ifaddrs* a = list; a; a = a->ifa_next) {
            if (!a->ifa_addr || !(a->ifa_flags & IFF_UP))
                continue;
            const int family = a->ifa_addr->sa_family;
            if (family != AF_INET && !(v6 && family == AF_INET6))
                continue;
            const Poco::Net::IPAddress found(*a->ifa_addr);
            // A link-local IPv6 address needs the interface's name in the
            // URL, which browsers do not take.
            if (found.isLinkLocal())
                continue;
            std::string host = found.toString();
            if (family == AF_INET6)
                host = "[" + host + "]";
            auto& into = found.isLoopback() ? loopback : hosts;
            if (std::find(into.begin(), into.end(), host) == into.end())
                into.push_back(host);
        }
        freeifaddrs(list);
    }
    if (loopback.empty())
        loopback.push_back(v6 ? "[::1]" : "127.0.0.1");
    hosts.insert(hosts.end(), loopback.begin(), loopback.end());
    return hosts;
}

}  // namespace vivatool
