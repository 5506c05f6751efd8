#pragma once
// TLS over the line connection's socket, through OpenSSL. Until StartTLS the
// handler is the plain socket handler; after it, Send, Recv and Readable carry
// TLS records, so ReadLine, replies and time-outs work unchanged above it.
//
// OpenSSL never touches the socket itself: it reads and writes memory buffers,
// and this handler moves the bytes with the stack's own send and receive. So
// every wait is one the handler bounds, a peer gone away never raises SIGPIPE,
// and socket errors carry the same numbers and texts as on a plain connection.
#include <memory>
#include <string>

#include "mail/IdTCPConnection.h"

// A TLS failure after the handshake: a broken record, an alert from the peer.
class EIdTLSError : public EIdException {
public:
    using EIdException::EIdException;
};

// The handshake failed: "TLS handshake failed: <what went wrong>". The socket is
// closed by then, so nothing more, not even QUIT, goes out in plain text.
class EIdTLSHandshakeError : public EIdTLSError {
public:
    using EIdTLSError::EIdTLSError;
};

class TIdIOHandlerTLS : public TIdIOHandlerSocket {
public:
    explicit TIdIOHandlerTLS(std::shared_ptr<TIdStack> stack);
    ~TIdIOHandlerTLS() override;

    // Check the server's certificate chain against the system's CA store (and
    // CAFile), and its name against the host name given to StartTLS.
    bool VerifyPeer = true;
    // A PEM file of further trusted CAs, a file system path; empty: none.
    std::string CAFile;

    // The handshake over the connected socket. `hostName` is sent as SNI (unless
    // it is an IP address) and checked against the certificate, an IP address
    // as an IP. timeoutMs above 0 bounds every wait for the server. Any failure
    // closes the socket and raises EIdTLSHandshakeError.
    void StartTLS(const AnsiString& hostName, int timeoutMs);
    bool TLSActive() const;
    // "TLSv1.3" and the like while TLS is active; empty otherwise.
    AnsiString ProtocolName() const;

    void Open() override;
    void Close() override; // sends the TLS close notice when it can, then closes
    ssize_t Send(const void* data, std::size_t length) override;
    ssize_t Recv(void* buffer, std::size_t length) override;
    int Readable(int timeoutMs) override;

    struct TState;

private:
    std::unique_ptr<TState> FState;
};
