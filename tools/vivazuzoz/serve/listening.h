// listening.h - what keeps the live view's listening socket answering: an
// exclusive bind, caps on connections in all and per client address, and a
// watchdog that cuts connections that are too slow to send a request or
// that stopped taking a stream.
#pragma once

#include "../listen_address.h"

#include <Poco/Net/HTTPRequestHandlerFactory.h>
#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/IPAddress.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/TCPServer.h>
#include <Poco/Net/TCPServerConnectionFactory.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vivatool::serve {

struct ListenLimits {
    int maxConnections = 128;                        // connections open at once, streams included
    int maxPerAddress = 32;                          // of them from one client address
    std::chrono::milliseconds headerTimeout{10000};  // to send a request's line and headers (and between requests)
    std::chrono::milliseconds bodyTimeout{10000};    // to send a request's body
    std::chrono::milliseconds streamTimeout{10000};  // a stream client that answers no ping for this long is cut
};

// Counts connections, refuses those over the caps as they are accepted, and
// cuts those that overrun their time. One per server; the filter and the
// connection factory it makes are handed to Poco's TCP server.
class ConnectionGuard {
public:
    explicit ConnectionGuard(ListenLimits limits);
    ~ConnectionGuard();  // stops the watchdog
    ConnectionGuard(const ConnectionGuard&) = delete;
    ConnectionGuard& operator=(const ConnectionGuard&) = delete;

    Poco::Net::TCPServerConnectionFilter::Ptr Filter();
    // HTTP connections that report to this guard.
    Poco::Net::TCPServerConnectionFactory::Ptr Factory(Poco::Net::HTTPServerParams::Ptr params,
                                                       Poco::Net::HTTPRequestHandlerFactory::Ptr handlers);

    // Called on the thread that serves a connection, as its request moves on:
    // headers read (the body's time runs), body read (no limit while the
    // answer is made), answered (the next request's headers' time runs).
    static void HeadersRead();
    static void BodyRead();
    static void Answered();
    // The connection became a stream: it is cut when StreamHeard() was not
    // called for streamTimeout.
    static void StreamStarted();
    static void StreamHeard();
    // Whether the watchdog cut this thread's connection.
    static bool CutByWatchdog();

    // Ends every connection (when the server stops).
    void CutAll();

    struct Counts {
        int open = 0;          // connections open now
        uint64_t refused = 0;  // refused at accept for a cap
        uint64_t cut = 0;      // cut by the watchdog
        uint64_t shed = 0;     // waiting for headers, cut at the cap to admit a newer one
    };
    Counts counts() const;

    enum class Phase { Headers, Body, Busy, Stream };
    struct Entry {
        ConnectionGuard* guard = nullptr;
        int fd = -1;  // a duplicate: shutting it down ends the connection, and it is never reused while listed
        std::string address;
        Phase phase = Phase::Headers;
        std::chrono::steady_clock::time_point since;
        bool cut = false;
        bool shed = false;  // cut to make room; still counted in open_ until its thread ends
    };

private:
    class AddressFilter;
    class GuardedConnection;
    class GuardedFactory;

    bool Admit(const Poco::Net::StreamSocket& socket);
    bool ShedOne();
    std::list<Entry>::iterator Register(const Poco::Net::StreamSocket& socket);
    void Unregister(std::list<Entry>::iterator entry);
    static void SetPhase(Phase phase);
    void Watch();

    const ListenLimits limits_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    // Guarded by mutex_.
    struct Accepted {
        std::string address;
        int fd = -1;
    };
    std::map<const void*, Accepted> accepted_;  // sockets accepted, not yet served
    std::map<std::string, int> perAddress_;
    std::list<Entry> entries_;
    int open_ = 0;
    uint64_t refused_ = 0;
    uint64_t cut_ = 0;
    int shedding_ = 0;  // shed connections whose threads have not ended yet
    uint64_t shed_ = 0;
    std::thread watchdog_;
};

}  // namespace vivatool::serve
