#include "platform/IdStack.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>

#include "platform/Exception.h"
#include "platform/IdException.h"

namespace {

std::mutex stackLock;
std::weak_ptr<TIdStack> stackInstance;
int stackCount = 0;

thread_local int lastSocketError = 0;

bool ToAddress(const AnsiString& ip, int port, sockaddr_in& address) {
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (ip.empty() || ip == "0.0.0.0") {
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        return true;
    }
    if (!TIdStack::IsDottedQuad(ip)) return false;
    // Parse the parts ourselves: inet_pton refuses leading zeros that the
    // dotted-quad rule accepts as decimal numbers.
    std::uint32_t value = 0;
    std::size_t start = 0;
    for (int part = 0; part < 4; ++part) {
        std::size_t dot = ip.find('.', start);
        std::uint32_t n = static_cast<std::uint32_t>(std::stoul(ip.substr(start, dot - start)));
        value = (value << 8) | n;
        start = dot + 1;
    }
    address.sin_addr.s_addr = htonl(value);
    return true;
}

void FromAddress(const sockaddr_in& address, AnsiString& ip, int& port) {
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    ip = text;
    port = ntohs(address.sin_port);
}

} // namespace

std::shared_ptr<TIdStack> TIdStack::Acquire() {
    std::lock_guard lock(stackLock);
    if (auto existing = stackInstance.lock()) return existing;
    // The deleter takes the lock too, so a stack going away and a new one being
    // made never overlap.
    std::shared_ptr<TIdStack> created(new TIdStack, [](TIdStack* stack) {
        std::lock_guard deleting(stackLock);
        delete stack;
    });
    stackInstance = created;
    return created;
}

int TIdStack::InstanceCount() {
    std::lock_guard lock(stackLock);
    return stackCount;
}

// POSIX sockets need no start-up; the count is what the life cycle promises.
TIdStack::TIdStack() { ++stackCount; }
TIdStack::~TIdStack() { --stackCount; }

void TIdStack::SetLastError(int errnoValue) const { lastSocketError = TranslateErrno(errnoValue); }

int TIdStack::WSGetLastError() const { return lastSocketError; }

TIdStackSocketHandle TIdStack::WSSocket() {
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (s < 0) SetLastError(errno);
    return s < 0 ? Id_INVALID_SOCKET : s;
}

int TIdStack::WSBind(TIdStackSocketHandle s, const AnsiString& ip, int port) {
    sockaddr_in address;
    if (!ToAddress(ip, port, address)) {
        SetLastError(EADDRNOTAVAIL);
        return Id_SOCKET_ERROR;
    }
    if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        SetLastError(errno);
        return Id_SOCKET_ERROR;
    }
    return 0;
}

int TIdStack::WSConnect(TIdStackSocketHandle s, const AnsiString& ip, int port) {
    sockaddr_in address;
    if (!ToAddress(ip, port, address)) {
        SetLastError(EADDRNOTAVAIL);
        return Id_SOCKET_ERROR;
    }
    int rc;
    do {
        rc = ::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        // An interrupted blocking connect goes on in the background; wait for it.
        if (errno == EALREADY || errno == EINPROGRESS) return WSConnectTimed(s, ip, port, -1);
        SetLastError(errno);
        return Id_SOCKET_ERROR;
    }
    return 0;
}

int TIdStack::WSConnectTimed(TIdStackSocketHandle s, const AnsiString& ip, int port, int timeoutMs) {
    sockaddr_in address;
    if (!ToAddress(ip, port, address)) {
        SetLastError(EADDRNOTAVAIL);
        return Id_SOCKET_ERROR;
    }
    int flags = ::fcntl(s, F_GETFL);
    ::fcntl(s, F_SETFL, flags | O_NONBLOCK);
    int rc = ::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
    int error = rc == 0 ? 0 : errno;
    if (rc != 0 && (error == EINPROGRESS || error == EALREADY || error == EINTR)) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            int wait = -1;
            if (timeoutMs >= 0) {
                auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
                wait = left.count() > 0 ? static_cast<int>(left.count()) : 0;
            }
            pollfd p{s, POLLOUT, 0};
            int n = ::poll(&p, 1, wait);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                error = errno;
            } else if (n == 0) {
                error = ETIMEDOUT;
            } else {
                socklen_t length = sizeof error;
                if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
            }
            break;
        }
    }
    ::fcntl(s, F_SETFL, flags);
    if (error != 0) {
        SetLastError(error);
        return Id_SOCKET_ERROR;
    }
    return 0;
}

ssize_t TIdStack::WSSend(TIdStackSocketHandle s, const void* data, std::size_t length) {
    ssize_t n;
    do {
        // No SIGPIPE: a peer that has gone shows up as an error of this call.
        n = ::send(s, data, length, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        // With a send time-out, "would block" means the peer took nothing in time.
        SetLastError(errno == EAGAIN || errno == EWOULDBLOCK ? ETIMEDOUT : errno);
        return Id_SOCKET_ERROR;
    }
    return n;
}

ssize_t TIdStack::WSRecv(TIdStackSocketHandle s, void* buffer, std::size_t length) {
    ssize_t n;
    do {
        n = ::recv(s, buffer, length, 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        SetLastError(errno);
        return Id_SOCKET_ERROR;
    }
    return n;
}

int TIdStack::WSWaitReadable(TIdStackSocketHandle s, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        int wait = -1;
        if (timeoutMs >= 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            wait = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        }
        pollfd p{s, POLLIN, 0};
        int n = ::poll(&p, 1, wait);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            SetLastError(errno);
            return Id_SOCKET_ERROR;
        }
        // An error or hang-up also makes the socket "readable": the receive reports it.
        return n > 0 ? 1 : 0;
    }
}

int TIdStack::WSShutdownSend(TIdStackSocketHandle s) {
    if (::shutdown(s, SHUT_WR) != 0) {
        SetLastError(errno);
        return Id_SOCKET_ERROR;
    }
    return 0;
}

int TIdStack::WSCloseSocket(TIdStackSocketHandle s) {
    if (::close(s) != 0) {
        SetLastError(errno);
        return Id_SOCKET_ERROR;
    }
    return 0;
}

int TIdStack::WSGetSockName(TIdStackSocketHandle s, AnsiString& ip, int& port) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        SetLastError(errno);
        return Id_SOCKET_ERROR;
    }
    FromAddress(address, ip, port);
    return 0;
}

int TIdStack::WSGetPeerName(TIdStackSocketHandle s, AnsiString& ip, int& port) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getpeername(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        SetLastError(errno);
        return Id_SOCKET_ERROR;
    }
    FromAddress(address, ip, port);
    return 0;
}

int TIdStack::WSSetNoDelay(TIdStackSocketHandle s, bool on) {
    int value = on ? 1 : 0;
    if (::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &value, sizeof value) != 0) {
        SetLastError(errno);
        return Id_SOCKET_ERROR;
    }
    return 0;
}

int TIdStack::WSSetSendTimeout(TIdStackSocketHandle s, int timeoutMs) {
    timeval value{};
    if (timeoutMs > 0) {
        value.tv_sec = timeoutMs / 1000;
        value.tv_usec = (timeoutMs % 1000) * 1000;
    }
    if (::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &value, sizeof value) != 0) {
        SetLastError(errno);
        return Id_SOCKET_ERROR;
    }
    return 0;
}

bool TIdStack::IsDottedQuad(const AnsiString& host) {
    int parts = 0;
    std::size_t i = 0;
    for (;;) {
        std::size_t start = i;
        int value = 0;
        while (i < host.size() && host[i] >= '0' && host[i] <= '9') {
            value = value * 10 + (host[i] - '0');
            if (value > 255) return false;
            ++i;
        }
        if (i == start) return false;
        ++parts;
        if (i == host.size()) return parts == 4;
        if (host[i] != '.' || parts == 4) return false;
        ++i;
    }
}

AnsiString TIdStack::ResolveHost(const AnsiString& host) {
    if (SameText(host, "LOCALHOST")) return "127.0.0.1";
    if (IsDottedQuad(host)) return host;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int rc = host.empty() ? EAI_NONAME : ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (rc != 0) {
        switch (rc) {
        case EAI_SYSTEM: RaiseSocketError(TranslateErrno(errno));
        case EAI_MEMORY: RaiseSocketError(10055);
        // Unknown names, and lookups that cannot reach a name server, both leave
        // the user with a host that could not be found.
        default: RaiseSocketError(Id_WSAHOST_NOT_FOUND);
        }
    }
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owner(found, ::freeaddrinfo);
    AnsiString ip;
    int port = 0;
    FromAddress(*reinterpret_cast<sockaddr_in*>(found->ai_addr), ip, port);
    return ip;
}

AnsiString TIdStack::LocalHostName() {
    char buffer[251] = {};
    if (::gethostname(buffer, 250) != 0) return {};
    return AnsiString(buffer); // cut at the first NUL
}

int TIdStack::TranslateErrno(int error) {
    switch (error) {
    case 0: return 0;
    case EINTR: return 10004;
    case EBADF: return 10009;
    case EACCES: case EPERM: return 10013;
    case EFAULT: return 10014;
    case EINVAL: return 10022;
    case EMFILE: case ENFILE: return 10024;
    case EAGAIN: return 10035;
    case EINPROGRESS: return 10036;
    case EALREADY: return 10037;
    case ENOTSOCK: return 10038;
    case EDESTADDRREQ: return 10039;
    case EMSGSIZE: return 10040;
    case EPROTOTYPE: return 10041;
    case ENOPROTOOPT: return 10042;
    case EPROTONOSUPPORT: return 10043;
    case ESOCKTNOSUPPORT: return 10044;
    case EOPNOTSUPP: return 10045;
    case EPFNOSUPPORT: return 10046;
    case EAFNOSUPPORT: return 10047;
    case EADDRINUSE: return 10048;
    case EADDRNOTAVAIL: return 10049;
    case ENETDOWN: return 10050;
    case ENETUNREACH: return 10051;
    case ENETRESET: return 10052;
    case ECONNABORTED: return 10053;
    // Linux reports a send into a connection the peer has reset as EPIPE.
    case ECONNRESET: case EPIPE: return 10054;
    case ENOBUFS: case ENOMEM: return 10055;
    case EISCONN: return 10056;
    case ENOTCONN: return 10057;
    case ESHUTDOWN: return 10058;
    case ETOOMANYREFS: return 10059;
    case ETIMEDOUT: return 10060;
    case ECONNREFUSED: return 10061;
    case ELOOP: return 10062;
    case ENAMETOOLONG: return 10063;
    case EHOSTDOWN: return 10064;
    case EHOSTUNREACH: return 10065;
    case ENOTEMPTY: return 10066;
    default: return error; // outside the table: the platform's own number
    }
}

AnsiString TIdStack::SocketErrorText(int code) {
    switch (code) {
    case 10004: return "Interrupted system call.";
    case 10009: return "Bad file number.";
    case 10013: return "Access denied.";
    case 10014: return "Bad address.";
    case 10022: return "Invalid argument.";
    case 10024: return "Too many open files.";
    case 10035: return "Operation would block. ";
    case 10036: return "Operation now in progress.";
    case 10037: return "Operation already in progress.";
    case 10038: return "Socket operation on non-socket.";
    case 10039: return "Destination address required.";
    case 10040: return "Message too long.";
    case 10041: return "Protocol wrong type for socket.";
    case 10042: return "Bad protocol option.";
    case 10043: return "Protocol not supported.";
    case 10044: return "Socket type not supported.";
    case 10045: return "Operation not supported on socket.";
    case 10046: return "Protocol family not supported.";
    case 10047: return "Address family not supported by protocol family.";
    case 10048: return "Address already in use.";
    case 10049: return "Cannot assign requested address.";
    case 10050: return "Network is down.";
    case 10051: return "Network is unreachable.";
    case 10052: return "Net dropped connection or reset.";
    case 10053: return "Software caused connection abort.";
    case 10054: return "Connection reset by peer.";
    case 10055: return "No buffer space available.";
    case 10056: return "Socket is already connected.";
    case 10057: return "Socket is not connected.";
    case 10058: return "Cannot send or receive after socket is closed.";
    case 10059: return "Too many references, cannot splice.";
    case 10060: return "Connection timed out.";
    case 10061: return "Connection refused.";
    case 10062: return "Too many levels of symbolic links.";
    case 10063: return "File name too long.";
    case 10064: return "Host is down.";
    case 10065: return "No route to host.";
    case 10066: return "Directory not empty";
    case 11001: return "Host not found.";
    default: return {};
    }
}

void TIdStack::RaiseSocketError(int code) {
    throw EIdSocketError(code, Format("Socket Error # %d\r\n%s", code, SocketErrorText(code).c_str()));
}

int TIdStack::CheckForSocketError(int result) const {
    if (result == Id_SOCKET_ERROR) RaiseSocketError(WSGetLastError());
    return result;
}
