// libFuzzer target over the reply reader on a real connection: the input is what
// a server on 127.0.0.1 sends before it closes. Reading replies must end with one
// of the connection's own errors, never crash, hang or collect without bound.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <thread>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "mail/IdTCPConnection.h"

namespace {

// One listening socket for the whole run; each input gets a fresh connection.
struct TListener {
    int Fd = -1;
    int Port = 0;
    TListener() {
        Fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (Fd < 0 || ::bind(Fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(Fd, 4) != 0) __builtin_trap();
        socklen_t len = sizeof a;
        ::getsockname(Fd, reinterpret_cast<sockaddr*>(&a), &len);
        Port = ntohs(a.sin_port);
    }
    ~TListener() { ::close(Fd); }
};

// The server's side: writes the bytes, then closes, on its own thread so that
// a reader that stops early cannot leave it blocked.
void Serve(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0) break;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    ::shutdown(fd, SHUT_WR);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static TListener listener;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    TIdTCPClient client;
    client.Host = "127.0.0.1";
    client.Port = listener.Port;
    client.ReadTimeout = 3000; // the server closes: a time-out would be a fault
    client.MaxLineLength = 1024;
    client.Connect();
    const int served = ::accept(listener.Fd, nullptr, nullptr);
    if (served < 0) __builtin_trap();
    std::thread server(Serve, served, bytes);
    int replies = 0;
    try {
        for (;;) {
            client.GetReply({-1});
            if (client.LastReply.TextCode.size() != 3) __builtin_trap();
            ++replies;
        }
    } catch (const EIdConnClosedGracefully&) {
    } catch (const EIdProtocolReplyError&) {
    } catch (const EIdReadLnMaxLineLengthExceeded&) {
    }
    client.Disconnect();
    server.join();
    ::close(served);
    if (static_cast<std::size_t>(replies) > size) __builtin_trap();
    return 0;
}
