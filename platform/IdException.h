#pragma once
// The mail transport's error family. The base classes and the socket error live
// here because the socket stack (platform) raises them; the connection's own
// errors are in mail/IdException.h.
#include "platform/Exception.h"

class EIdException : public Exception {
public:
    using Exception::Exception;
};

// Errors that mark an expected end rather than a fault (a peer that closed).
class EIdSilentException : public EIdException {
public:
    using EIdException::EIdException;
};

// A failed socket call. SocketErrorCode is a Windows Sockets number (10061 for a
// refused connection, 11001 for an unknown host), so callers and texts read the
// same whatever the platform's own numbers are.
class EIdSocketError : public EIdException {
public:
    EIdSocketError(int code, AnsiString message) : EIdException(std::move(message)), SocketErrorCode(code) {}
    int SocketErrorCode;
};

// The socket library could not be started.
class EIdStackInitializationFailed : public EIdException {
public:
    using EIdException::EIdException;
};
