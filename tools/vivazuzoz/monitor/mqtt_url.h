// mqtt_url.h - the broker address of `monitor --mqtt`:
// mqtt[s]://[USER[:PASSWORD]@]HOST[:PORT][/PREFIX]
#pragma once

#include <string>

namespace vivatool::monitor {

struct MqttUrl {
    bool tls = false;     // mqtts://
    std::string user;     // "" for an anonymous connection
    std::string password;
    bool hasPassword = false;
    std::string host;     // a name, an IPv4 address or a bracketed IPv6 address without its brackets
    int port = 0;         // 1883, or 8883 with TLS, when not given
    std::string prefix;   // topic prefix without slashes at either end; "vivazuzoz" when not given

    // The URL with the password hidden, for messages.
    std::string Display() const;
};

// Parses `text` into `url`; user and password may be percent-encoded ("%40"
// for '@'). Returns "" or a sentence saying what is wrong.
std::string ParseMqttUrl(const std::string& text, MqttUrl& url);

}  // namespace vivatool::monitor
