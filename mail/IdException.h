#pragma once
// Errors of the line connection. Each class carries its fixed message, so a
// raise site cannot get the text wrong.
#include "platform/IdException.h"

// A reply whose code is not among the ones the command allows. The message is
// the reply's text lines, each followed by CR LF.
class EIdProtocolReplyError : public EIdException {
public:
    EIdProtocolReplyError(int replyCode, AnsiString message) : EIdException(std::move(message)), ReplyCode(replyCode) {}
    int ReplyCode;
};

class EIdConnClosedGracefully : public EIdSilentException {
public:
    EIdConnClosedGracefully() : EIdSilentException("Connection Closed Gracefully.") {}
};

class EIdReadTimeout : public EIdException {
public:
    EIdReadTimeout() : EIdException("Read Timeout") {}
};

class EIdReadLnMaxLineLengthExceeded : public EIdException {
public:
    EIdReadLnMaxLineLengthExceeded() : EIdException("Max line length exceeded.") {}
};

class EIdNotConnected : public EIdException {
public:
    EIdNotConnected() : EIdException("Not Connected") {}
};

class EIdAlreadyConnected : public EIdException {
public:
    EIdAlreadyConnected() : EIdException("Already connected.") {}
};

class EIdClosedSocket : public EIdException {
public:
    EIdClosedSocket() : EIdException("Disconnected.") {}
};

class EIdInvalidSocket : public EIdException {
public:
    EIdInvalidSocket() : EIdException("Cannot allocate socket.") {}
};

class EIdCouldNotBindSocket : public EIdException {
public:
    EIdCouldNotBindSocket() : EIdException("Could not bind socket. Address and port are already in use.") {}
};

class EIdConnectTimeout : public EIdException {
public:
    EIdConnectTimeout() : EIdException("Connect timed out.") {}
};

// A reply line that is not three digits followed by a blank, a "-" or the end.
class EIdInvalidReplyLine : public EIdProtocolReplyError {
public:
    explicit EIdInvalidReplyLine(AnsiString message) : EIdProtocolReplyError(0, std::move(message)) {}
};

// A reply with more lines or bytes than any real server sends.
class EIdReplyTooLong : public EIdProtocolReplyError {
public:
    explicit EIdReplyTooLong(AnsiString message) : EIdProtocolReplyError(0, std::move(message)) {}
};
