#include "listen_address.h"

#include "client.h"

#include <Poco/Net/IPAddress.h>

namespace vivatool {

bool ParseListen(const std::string& text, std::string& address, uint16_t& port)
{
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos)
        return false;
    std::string host = text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    if (host.empty())
        host = "127.0.0.1";
    if (host == "localhost")
        host = "127.0.0.1";
    Poco::Net::IPAddress ip;
    if (!Poco::Net::IPAddress::tryParse(host, ip))
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
    if (Poco::Net::IPAddress::tryParse(address, ip)) {
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
    return Poco::Net::IPAddress::tryParse(address, ip) && ip.isLoopback();
}

}  // namespace vivatool
