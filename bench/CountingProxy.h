// A TCP relay on a loopback port that counts the bytes a server sends its clients: the
// benchmarks point a connection at it to measure what a summary brings over the network.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace zel::bench {

class CountingProxy {
public:
    // Relays 127.0.0.1:Port() to 127.0.0.1:targetPort.
    explicit CountingProxy(int targetPort) : target_(targetPort)
    {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = Loopback(0);
        socklen_t length = sizeof address;
        if (listener_ < 0 || bind(listener_, Address(address), sizeof address) != 0
            || listen(listener_, 16) != 0 || getsockname(listener_, Address(address), &length) != 0)
            throw std::runtime_error("the counting proxy cannot listen on a loopback port");
        port_ = ntohs(address.sin_port);
        acceptor_ = std::thread([this] { Accept(); });
    }
    ~CountingProxy()
    {
        stop_ = true;
        acceptor_.join();
        for (std::thread& relay : relays_)
            relay.join();
        close(listener_);
    }
    CountingProxy(const CountingProxy&) = delete;
    CountingProxy& operator=(const CountingProxy&) = delete;

    int Port() const { return port_; }
    // Bytes from the server to its clients since the last Reset.
    std::uint64_t ServerBytes() const { return serverBytes_; }
    void Reset() { serverBytes_ = 0; }

private:
    static sockaddr_in Loopback(int port)
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return address;
    }
    static sockaddr* Address(sockaddr_in& address) { return reinterpret_cast<sockaddr*>(&address); }

    // Waits for clients a tenth of a second at a time, so that the destructor can stop it.
    void Accept()
    {
        while (!stop_) {
            pollfd ready{listener_, POLLIN, 0};
            if (poll(&ready, 1, 100) <= 0)
                continue;
            const int client = accept(listener_, nullptr, nullptr);
            if (client < 0)
                continue;
            const int server = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in address = Loopback(target_);
            if (server < 0 || connect(server, Address(address), sizeof address) != 0) {
                close(client);
                if (server >= 0)
                    close(server);
                continue;
            }
            relays_.emplace_back([this, client, server] { Relay(client, server); });
        }
    }

    // Copies both ways until either side closes, counting what the server sends.
    void Relay(int client, int server)
    {
        char buffer[65536];
        pollfd ends[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
        while (!stop_) {
            if (poll(ends, 2, 100) <= 0)
                continue;
            bool open = true;
            for (int from = 0; from < 2 && open; ++from) {
                if ((ends[from].revents & (POLLIN | POLLHUP | POLLERR)) == 0)
                    continue;
                const ssize_t got = read(ends[from].fd, buffer, sizeof buffer);
                // Counted before it is passed on, so that a client that has read its last
                // answer finds every byte of it counted.
                if (got > 0 && from == 1)
                    serverBytes_ += static_cast<std::uint64_t>(got);
                open = got > 0 && WriteAll(ends[1 - from].fd, buffer, static_cast<std::size_t>(got));
            }
            if (!open)
                break;
        }
        close(client);
        close(server);
    }

    static bool WriteAll(int fd, const char* data, std::size_t size)
    {
        while (size > 0) {
            const ssize_t put = write(fd, data, size);
            if (put <= 0)
                return false;
            data += put;
            size -= static_cast<std::size_t>(put);
        }
        return true;
    }

    int target_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<std::uint64_t> serverBytes_{0};
    std::thread acceptor_;
    std::vector<std::thread> relays_;
};

} // namespace zel::bench
