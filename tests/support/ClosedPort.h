#pragma once
// A port of 127.0.0.1 on which nobody listens, for the test's life: the socket
// stays bound (but does not listen), so no other process can take the port
// while the test expects a connection to it to be refused.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

class TClosedPort {
public:
    TClosedPort() {
        FSocket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (FSocket < 0 || ::bind(FSocket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::getsockname(FSocket, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            if (FSocket >= 0) ::close(FSocket);
            throw std::runtime_error("cannot bind a port of 127.0.0.1");
        }
        FPort = ntohs(address.sin_port);
    }
    ~TClosedPort() { ::close(FSocket); }
    TClosedPort(const TClosedPort&) = delete;
    TClosedPort& operator=(const TClosedPort&) = delete;

    int Port() const { return FPort; }

private:
    int FSocket = -1;
    int FPort = 0;
};
