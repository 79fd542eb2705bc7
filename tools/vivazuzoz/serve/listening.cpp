#include "listening.h"

#include <Poco/Net/HTTPServerConnection.h>
#include <Poco/Net/IPAddress.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/Net/TCPServerConnection.h>

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace vivatool::serve {

using Clock = std::chrono::steady_clock;

namespace {

thread_local ConnectionGuard::Entry* tEntry = nullptr;

}  // namespace

class ConnectionGuard::AddressFilter : public Poco::Net::TCPServerConnectionFilter {
public:
    explicit AddressFilter(ConnectionGuard& guard) : guard_(guard) {}
    bool accept(const Poco::Net::StreamSocket& socket) override { return guard_.Admit(socket); }

private:
    ConnectionGuard& guard_;
};

class ConnectionGuard::GuardedConnection : public Poco::Net::TCPServerConnection {
public:
    GuardedConnection(ConnectionGuard& guard, const Poco::Net::StreamSocket& socket,
                      Poco::Net::HTTPServerParams::Ptr params, Poco::Net::HTTPRequestHandlerFactory::Ptr handlers)
        : TCPServerConnection(socket), guard_(guard), params_(std::move(params)), handlers_(std::move(handlers))
    {
    }

    void run() override
    {
        const auto entry = guard_.Register(socket());
        tEntry = &*entry;
        try {
            Poco::Net::HTTPServerConnection http(socket(), params_, handlers_);
            http.run();
        } catch (...) {
            // A connection that fails is simply over.
        }
        tEntry = nullptr;
        guard_.Unregister(entry);
    }

private:
    ConnectionGuard& guard_;
    Poco::Net::HTTPServerParams::Ptr params_;
    Poco::Net::HTTPRequestHandlerFactory::Ptr handlers_;
};

class ConnectionGuard::GuardedFactory : public Poco::Net::TCPServerConnectionFactory {
public:
    GuardedFactory(ConnectionGuard& guard, Poco::Net::HTTPServerParams::Ptr params,
                   Poco::Net::HTTPRequestHandlerFactory::Ptr handlers)
        : guard_(guard), params_(std::move(params)), handlers_(std::move(handlers))
    {
    }
    Poco::Net::TCPServerConnection* createConnection(const Poco::Net::StreamSocket& socket) override
    {
        return new GuardedConnection(guard_, socket, params_, handlers_);
    }

private:
    ConnectionGuard& guard_;
    Poco::Net::HTTPServerParams::Ptr params_;
    Poco::Net::HTTPRequestHandlerFactory::Ptr handlers_;
};

ConnectionGuard::ConnectionGuard(ListenLimits limits) : limits_(limits)
{
    watchdog_ = std::thread([this] { Watch(); });
}

ConnectionGuard::~ConnectionGuard()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    watchdog_.join();
    for (Entry& entry : entries_)
        if (entry.fd >= 0)
            ::close(entry.fd);
    for (auto& [socket, accepted] : accepted_)
        if (accepted.fd >= 0)
            ::close(accepted.fd);
}

Poco::Net::TCPServerConnectionFilter::Ptr ConnectionGuard::Filter()
{
    return new AddressFilter(*this);
}

Poco::Net::TCPServerConnectionFactory::Ptr ConnectionGuard::Factory(Poco::Net::HTTPServerParams::Ptr params,
                                                                    Poco::Net::HTTPRequestHandlerFactory::Ptr handlers)
{
    return new GuardedFactory(*this, std::move(params), std::move(handlers));
}

// On the accepting thread: a connection over its address's cap is closed at
// once, so that one client's flood never queues ahead of other clients'
// requests. At the cap in all, the connection that has waited longest for a
// request's headers (a half-sent request, or an idle kept-alive connection)
// is cut to make room: a flood spread over several addresses sheds its own
// connections, not the newcomers'. Only when every connection is busy or
// streaming is the new one refused.
bool ConnectionGuard::Admit(const Poco::Net::StreamSocket& socket)
{
    std::string address;
    try {
        address = socket.peerAddress().host().toString();
    } catch (const Poco::Exception&) {
        return false;  // gone before it was accepted
    }
    std::lock_guard<std::mutex> lock(mutex_);
    int& fromAddress = perAddress_[address];
    if (fromAddress >= limits_.maxPerAddress || (open_ - shedding_ >= limits_.maxConnections && !ShedOne())) {
        if (fromAddress == 0)
            perAddress_.erase(address);
        ++refused_;
        return false;
    }
    ++open_;
    ++fromAddress;
    // The duplicate is made here, on the thread that accepted the socket:
    // the thread that serves it then uses the socket object as a key only.
    accepted_[socket.impl()] = Accepted{address, ::dup(socket.impl()->sockfd())};
    return true;
}

std::list<ConnectionGuard::Entry>::iterator ConnectionGuard::Register(const Poco::Net::StreamSocket& socket)
{
    Entry entry;
    entry.guard = this;
    entry.since = Clock::now();
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = accepted_.find(socket.impl());
    if (found != accepted_.end()) {
        entry.address = found->second.address;
        entry.fd = found->second.fd;
        accepted_.erase(found);
    }
    return entries_.insert(entries_.end(), entry);
}

// With mutex_ held.
bool ConnectionGuard::ShedOne()
{
    Entry* oldest = nullptr;
    for (Entry& entry : entries_)
        if (entry.phase == Phase::Headers && !entry.cut && entry.fd >= 0 && (!oldest || entry.since < oldest->since))
            oldest = &entry;
    if (!oldest)
        return false;
    ::shutdown(oldest->fd, SHUT_RDWR);
    oldest->cut = true;
    oldest->shed = true;
    ++shedding_;
    ++shed_;
    return true;
}

void ConnectionGuard::Unregister(std::list<Entry>::iterator entry)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (entry->shed)
        --shedding_;
    if (entry->fd >= 0)
        ::close(entry->fd);
    const auto from = perAddress_.find(entry->address);
    if (from != perAddress_.end() && --from->second <= 0)
        perAddress_.erase(from);
    --open_;
    entries_.erase(entry);
}

void ConnectionGuard::SetPhase(Phase phase)
{
    Entry* entry = tEntry;
    if (!entry)
        return;
    std::lock_guard<std::mutex> lock(entry->guard->mutex_);
    entry->phase = phase;
    entry->since = Clock::now();
}

void ConnectionGuard::HeadersRead()
{
    SetPhase(Phase::Body);
}

void ConnectionGuard::BodyRead()
{
    SetPhase(Phase::Busy);
}

void ConnectionGuard::Answered()
{
    SetPhase(Phase::Headers);
}

void ConnectionGuard::StreamStarted()
{
    SetPhase(Phase::Stream);
}

void ConnectionGuard::StreamHeard()
{
    SetPhase(Phase::Stream);
}

bool ConnectionGuard::CutByWatchdog()
{
    Entry* entry = tEntry;
    if (!entry)
        return false;
    std::lock_guard<std::mutex> lock(entry->guard->mutex_);
    return entry->cut;
}

void ConnectionGuard::CutAll()
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (Entry& entry : entries_)
        ::shutdown(entry.fd, SHUT_RDWR);
}

ConnectionGuard::Counts ConnectionGuard::counts() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return Counts{open_, refused_, cut_, shed_};
}

void ConnectionGuard::Watch()
{
    const auto shortest = std::min({limits_.headerTimeout, limits_.bodyTimeout, limits_.streamTimeout});
    const auto every = std::clamp<std::chrono::milliseconds>(shortest / 4, std::chrono::milliseconds(20),
                                                             std::chrono::milliseconds(250));
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        wake_.wait_for(lock, every);
        const Clock::time_point now = Clock::now();
        for (Entry& entry : entries_) {
            std::chrono::milliseconds limit{0};
            switch (entry.phase) {
            case Phase::Headers:
                limit = limits_.headerTimeout;
                break;
            case Phase::Body:
                limit = limits_.bodyTimeout;
                break;
            case Phase::Stream:
                limit = limits_.streamTimeout;
                break;
            case Phase::Busy:
                continue;
            }
            if (entry.cut || now - entry.since <= limit)
                continue;
            // Ends the connection for the thread that serves it, whether it
            // waits to read or is stuck in a send.
            if (entry.fd >= 0)
                ::shutdown(entry.fd, SHUT_RDWR);
            entry.cut = true;
            ++cut_;
        }
    }
}

}  // namespace vivatool::serve
