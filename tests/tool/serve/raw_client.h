// raw_client.h - a raw TCP client for the server tests, from a chosen
// loopback address, that sends what a test gives it, half requests included.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>

// A raw TCP connection from `from` (a loopback address) to the server.
class RawClient {
public:
    RawClient(const char* from, uint16_t port, int receiveBuffer = 0)
    {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        if (receiveBuffer > 0)
            setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        inet_pton(AF_INET, from, &local.sin_addr);
        bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local);
        sockaddr_in server{};
        server.sin_family = AF_INET;
        server.sin_port = htons(port);
        inet_pton(AF_INET, "127.0.0.1", &server.sin_addr);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&server), sizeof server) == 0;
    }
    ~RawClient()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool connected() const { return connected_; }
    void Send(const std::string& text) { (void)send(fd_, text.data(), text.size(), MSG_NOSIGNAL); }

    // Everything until the server closes or `seconds` pass without a byte;
    // `closed` tells which.
    std::string ReadAll(int seconds, bool& closed)
    {
        timeval limit{seconds, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        std::string got;
        char buffer[4096];
        for (;;) {
            const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0) {
                closed = n == 0 || errno == ECONNRESET;
                return got;
            }
            got.append(buffer, static_cast<size_t>(n));
        }
    }

    // The first response's status line, read within `seconds`.
    std::string StatusLine(int seconds)
    {
        timeval limit{seconds, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        std::string got;
        char c;
        while (got.find("\r\n") == std::string::npos && recv(fd_, &c, 1, 0) == 1)
            got.push_back(c);
        return got.substr(0, got.find("\r\n"));
    }

private:
    int fd_ = -1;
    bool connected_ = false;
};
