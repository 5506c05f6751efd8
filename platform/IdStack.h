#pragma once
// The socket stack of the mail transport: POSIX sockets behind the operations the
// line connection needs, with failures numbered as Windows Sockets numbers them
// (10061 refused, 10060 timed out, 11001 host not found, ...), because those
// numbers and their texts are what the program shows and callers test.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <sys/types.h>

#include "platform/AnsiString.h"

using TIdStackSocketHandle = int;
constexpr TIdStackSocketHandle Id_INVALID_SOCKET = -1;
constexpr int Id_SOCKET_ERROR = -1;

// Windows Sockets numbers the connection reacts to.
constexpr int Id_WSAECONNABORTED = 10053;
constexpr int Id_WSAECONNRESET = 10054;
constexpr int Id_WSAESHUTDOWN = 10058;
constexpr int Id_WSAEADDRINUSE = 10048;
constexpr int Id_WSAETIMEDOUT = 10060;
constexpr int Id_WSAHOST_NOT_FOUND = 11001;

class TIdStack {
public:
    // One stack for the whole process: the first Acquire creates it, the last
    // reference to go destroys it; the count is kept under a process-wide lock.
    static std::shared_ptr<TIdStack> Acquire();
    // Number of stacks alive (0 or 1); lets tests watch the life cycle.
    static int InstanceCount();

    TIdStack(const TIdStack&) = delete;
    TIdStack& operator=(const TIdStack&) = delete;
    ~TIdStack();

    // Each call returns Id_INVALID_SOCKET / Id_SOCKET_ERROR on failure and leaves
    // the Windows Sockets number in WSGetLastError() (per thread).
    TIdStackSocketHandle WSSocket();
    int WSBind(TIdStackSocketHandle s, const AnsiString& ip, int port);
    int WSConnect(TIdStackSocketHandle s, const AnsiString& ip, int port);
    // Connect that gives up after timeoutMs; returns Id_SOCKET_ERROR with
    // Id_WSAETIMEDOUT when the time runs out.
    int WSConnectTimed(TIdStackSocketHandle s, const AnsiString& ip, int port, int timeoutMs);
    ssize_t WSSend(TIdStackSocketHandle s, const void* data, std::size_t length);
    ssize_t WSRecv(TIdStackSocketHandle s, void* buffer, std::size_t length);
    // 1 readable (or closed by the peer), 0 time ran out, Id_SOCKET_ERROR on error.
    // A timeout below 0 waits without limit.
    int WSWaitReadable(TIdStackSocketHandle s, int timeoutMs);
    int WSShutdownSend(TIdStackSocketHandle s);
    int WSCloseSocket(TIdStackSocketHandle s);
    int WSGetSockName(TIdStackSocketHandle s, AnsiString& ip, int& port);
    int WSGetPeerName(TIdStackSocketHandle s, AnsiString& ip, int& port);
    int WSSetNoDelay(TIdStackSocketHandle s, bool on);
    // Longest time a send may wait for the peer to take data; 0 without limit.
    int WSSetSendTimeout(TIdStackSocketHandle s, int timeoutMs);
    int WSGetLastError() const;

    // "LOCALHOST" (any case) is 127.0.0.1, a dotted quad is itself, any other name
    // is looked up and gives its first IPv4 address. A failed lookup raises
    // EIdSocketError 11001 "Host not found.".
    AnsiString ResolveHost(const AnsiString& host);
    static bool IsDottedQuad(const AnsiString& host);
    // This computer's host name (cut at 250 bytes, like the buffer it came from).
    AnsiString LocalHostName();

    // Windows Sockets number for an errno value.
    static int TranslateErrno(int error);
    // The table's text for a Windows Sockets number; empty for numbers outside it.
    static AnsiString SocketErrorText(int code);
    // Raises EIdSocketError "Socket Error # %d\r\n%s" for the number.
    [[noreturn]] static void RaiseSocketError(int code);
    // Raises the last error when result is Id_SOCKET_ERROR; returns result otherwise.
    int CheckForSocketError(int result) const;

private:
    TIdStack();
    void SetLastError(int errnoValue) const;
};
