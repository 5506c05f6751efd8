#include "mail/IdTCPConnection.h"

#include <algorithm>

#include "platform/Exception.h"

namespace {
constexpr std::size_t CompactAt = 32768;

bool IsAnyCode(const std::vector<int>& allowed) {
    return allowed.empty() || (allowed.size() == 1 && allowed.front() == -1);
}
} // namespace

// ---------------------------------------------------------------- TIdSocketHandle

TIdSocketHandle::TIdSocketHandle(std::shared_ptr<TIdStack> stack) : FStack(std::move(stack)) {}

TIdSocketHandle::~TIdSocketHandle() {
    if (HandleAllocated()) FStack->WSCloseSocket(FHandle);
}

void TIdSocketHandle::Reset() {
    CloseSocket();
    IP.clear();
    Port = 0;
    PeerIP.clear();
    PeerPort = 0;
    FSendTimeout = 0;
}

void TIdSocketHandle::AllocateSocket() {
    CloseSocket();
    FHandle = FStack->WSSocket();
    if (FHandle == Id_INVALID_SOCKET) throw EIdInvalidSocket();
    FSendTimeout = 0;
}

void TIdSocketHandle::Bind() {
    if (FStack->WSBind(FHandle, IP, Port) == Id_SOCKET_ERROR) {
        if (FStack->WSGetLastError() == Id_WSAEADDRINUSE) throw EIdCouldNotBindSocket();
        FStack->CheckForSocketError(Id_SOCKET_ERROR);
    }
    UpdateBindingLocal();
}

void TIdSocketHandle::Connect(int timeoutMs) {
    if (timeoutMs > 0) {
        if (FStack->WSConnectTimed(FHandle, PeerIP, PeerPort, timeoutMs) == Id_SOCKET_ERROR) {
            if (FStack->WSGetLastError() == Id_WSAETIMEDOUT) throw EIdConnectTimeout();
            FStack->CheckForSocketError(Id_SOCKET_ERROR);
        }
    } else {
        FStack->CheckForSocketError(FStack->WSConnect(FHandle, PeerIP, PeerPort));
    }
    UpdateBindingLocal();
    UpdateBindingPeer();
}

void TIdSocketHandle::UpdateBindingLocal() { FStack->CheckForSocketError(FStack->WSGetSockName(FHandle, IP, Port)); }

void TIdSocketHandle::UpdateBindingPeer() {
    FStack->CheckForSocketError(FStack->WSGetPeerName(FHandle, PeerIP, PeerPort));
}

void TIdSocketHandle::CloseSocket() {
    if (!HandleAllocated()) return;
    TIdStackSocketHandle handle = FHandle;
    FHandle = Id_INVALID_SOCKET;
    // Errors of a socket on its way out change nothing for the caller.
    FStack->WSShutdownSend(handle);
    FStack->WSCloseSocket(handle);
}

void TIdSocketHandle::SetSendTimeout(int timeoutMs) {
    if (timeoutMs < 0) timeoutMs = 0;
    if (!HandleAllocated() || timeoutMs == FSendTimeout) return;
    FStack->CheckForSocketError(FStack->WSSetSendTimeout(FHandle, timeoutMs));
    FSendTimeout = timeoutMs;
}

// ---------------------------------------------------------------- TIdIOHandlerSocket

TIdIOHandlerSocket::TIdIOHandlerSocket(std::shared_ptr<TIdStack> stack) : FStack(std::move(stack)) {}

void TIdIOHandlerSocket::DoStatus(const AnsiString& text) const {
    if (OnStatus) OnStatus(text);
}

void TIdIOHandlerSocket::Open() {
    if (FBinding)
        FBinding->Reset();
    else
        FBinding = std::make_unique<TIdSocketHandle>(FStack);
}

void TIdIOHandlerSocket::ConnectClient(const AnsiString& host, int port, const AnsiString& boundIP, int boundPort,
                                       int timeoutMs) {
    FBinding->AllocateSocket();
    FBinding->IP = boundIP;
    FBinding->Port = boundPort;
    FBinding->Bind();
    AnsiString ip;
    if (SameText(host, "LOCALHOST") || TIdStack::IsDottedQuad(host)) {
        ip = FStack->ResolveHost(host);
    } else {
        DoStatus(Format("Resolving hostname %s.", host.c_str()));
        ip = FStack->ResolveHost(host);
    }
    FBinding->PeerIP = ip;
    FBinding->PeerPort = port;
    if (!UseNagle) FStack->CheckForSocketError(FStack->WSSetNoDelay(FBinding->Handle(), true));
    DoStatus(Format("Connecting to %s.", ip.c_str()));
    FBinding->Connect(timeoutMs);
}

void TIdIOHandlerSocket::Close() {
    if (FBinding) FBinding->CloseSocket();
}

ssize_t TIdIOHandlerSocket::Send(const void* data, std::size_t length) {
    if (!Connected()) throw EIdClosedSocket();
    return FStack->WSSend(FBinding->Handle(), data, length);
}

ssize_t TIdIOHandlerSocket::Recv(void* buffer, std::size_t length) {
    if (!Connected()) throw EIdClosedSocket();
    return FStack->WSRecv(FBinding->Handle(), buffer, length);
}

int TIdIOHandlerSocket::Readable(int timeoutMs) {
    if (!Connected()) throw EIdClosedSocket();
    return FStack->CheckForSocketError(FStack->WSWaitReadable(FBinding->Handle(), timeoutMs));
}

// ---------------------------------------------------------------- TIdTCPConnection

TIdTCPConnection::TIdTCPConnection() : FStack(TIdStack::Acquire()) {}

TIdTCPConnection::~TIdTCPConnection() = default; // the handle closes its socket

void TIdTCPConnection::DoStatus(const AnsiString& text) const {
    if (OnStatus) OnStatus(text);
}

void TIdTCPConnection::NotifyDisconnected() {
    if (OnDisconnected) OnDisconnected();
}

void TIdTCPConnection::SetIOHandler(std::unique_ptr<TIdIOHandlerSocket> handler) {
    FIOHandler = std::move(handler);
    FFreeIOHandlerOnDisconnect = false;
}

void TIdTCPConnection::ResetInput() {
    FInputBuffer.clear();
    FInputOffset = 0;
    FClosedGracefully = false;
}

void TIdTCPConnection::CloseSocket() {
    if (!FIOHandler) return;
    FClosedGracefully = true;
    FIOHandler->Close();
}

void TIdTCPConnection::Disconnect() {
    DoStatus("Disconnecting.");
    CloseSocket();
    if (FFreeIOHandlerOnDisconnect) {
        FIOHandler.reset();
        FFreeIOHandlerOnDisconnect = false;
    }
    NotifyDisconnected();
    DoStatus("Disconnected.");
}

void TIdTCPConnection::CheckForClose(bool raiseIfClosed, bool ignoreBuffer) {
    bool closed;
    if (FClosedGracefully || !FIOHandler) {
        if (FIOHandler && FIOHandler->Connected()) {
            CloseSocket();
            DoStatus("Disconnected.");
            NotifyDisconnected();
        }
        closed = FIOHandler != nullptr;
    } else {
        closed = !FIOHandler->Connected();
    }
    if (closed && raiseIfClosed && (InputBufferSize() == 0 || ignoreBuffer)) throw EIdConnClosedGracefully();
}

bool TIdTCPConnection::Connected() {
    CheckForClose(false, false);
    return FIOHandler && FIOHandler->Connected();
}

void TIdTCPConnection::Write(std::string_view text) {
    if (!text.empty()) WriteBytes(text.data(), text.size());
}

void TIdTCPConnection::WriteLine(std::string_view text) {
    AnsiString line;
    line.reserve(text.size() + 2);
    line.append(text).append("\r\n");
    Write(line); // one send for the line and its CR LF
}

void TIdTCPConnection::WriteBytes(const void* bytes, std::size_t count) {
    if (count == 0) return;
    CheckForClose(true, true);
    if (!Connected()) throw EIdNotConnected();
    if (ReadTimeout > 0) FIOHandler->Binding()->SetSendTimeout(ReadTimeout);
    const char* data = static_cast<const char*>(bytes);
    std::size_t sent = 0;
    while (sent < count) {
        ssize_t n = FIOHandler->Send(data + sent, count - sent);
        if (n == 0) FClosedGracefully = true;
        CheckForClose(true, false);
        if (n == Id_SOCKET_ERROR) {
            int code = FStack->WSGetLastError();
            if (code == Id_WSAESHUTDOWN || code == Id_WSAECONNABORTED || code == Id_WSAECONNRESET) CloseSocket();
            TIdStack::RaiseSocketError(code);
        }
        sent += static_cast<std::size_t>(n);
    }
}

int TIdTCPConnection::FillInputBuffer(bool raiseIfClosed, int timeoutMs, bool raiseOnTimeout) {
    if (timeoutMs == -1) timeoutMs = ReadTimeout > 0 ? ReadTimeout : -1;
    else if (timeoutMs == 0) timeoutMs = -1; // a time-out of 0 waits without limit
    if (FReplyDeadline) {
        // A reply gets its time once: bytes that trickle in do not extend it.
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(*FReplyDeadline - std::chrono::steady_clock::now());
        const int leftMs = static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
        if (timeoutMs < 0 || leftMs < timeoutMs) timeoutMs = leftMs;
    }
    CheckForClose(raiseIfClosed, false);
    if (!Connected()) {
        if (raiseIfClosed) throw EIdNotConnected();
        return 0;
    }
    int count;
    do {
        if (FIOHandler->Readable(timeoutMs) == 0) {
            if (raiseOnTimeout) throw EIdReadTimeout();
            return -1;
        }
        if (FInputOffset >= CompactAt) {
            FInputBuffer.erase(0, FInputOffset);
            FInputOffset = 0;
        }
        std::size_t old = FInputBuffer.size();
        std::size_t want = static_cast<std::size_t>(std::max(RecvBufferSize, 1));
        FInputBuffer.resize(old + want);
        ssize_t n = FIOHandler->Recv(FInputBuffer.data() + old, want);
        FInputBuffer.resize(old + static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
        if (n == 0) FClosedGracefully = true;
        if (n == Id_SOCKET_ERROR) {
            int code = FStack->WSGetLastError();
            if (code == Id_WSAESHUTDOWN || code == Id_WSAECONNABORTED) {
                CloseSocket();
                if (InputBufferSize() == 0) TIdStack::RaiseSocketError(code);
                n = 0;
            } else {
                TIdStack::RaiseSocketError(code);
            }
        }
        count = static_cast<int>(n);
        CheckForClose(raiseIfClosed, false);
    } while (count == 0 && Connected());
    return count;
}

void TIdTCPConnection::ConsumeInput(std::size_t count) {
    FInputOffset += count;
    if (FInputOffset == FInputBuffer.size()) {
        FInputBuffer.clear();
        FInputOffset = 0;
    } else if (FInputOffset >= CompactAt) {
        FInputBuffer.erase(0, FInputOffset);
        FInputOffset = 0;
    }
}

AnsiString TIdTCPConnection::TakeInput(std::size_t count) {
    AnsiString bytes = FInputBuffer.substr(FInputOffset, count);
    ConsumeInput(count);
    return bytes;
}

AnsiString TIdTCPConnection::ReadLine() { return ReadLn('\n', -1, MaxLineLength); }

AnsiString TIdTCPConnection::ReadLn(char terminator, int timeoutMs, int maxLineLength) {
    FReadLnSplit = false;
    FReadLnTimedOut = false;
    const std::size_t limit = maxLineLength > 0 ? static_cast<std::size_t>(maxLineLength) : 0;
    std::size_t scanStart = 0;           // counted from the first unread byte
    std::size_t terminatorPos = AnsiString::npos;
    auto overLong = [&]() -> AnsiString {
        if (MaxLineAction == maException) throw EIdReadLnMaxLineLengthExceeded();
        FReadLnSplit = true;
        return TakeInput(limit);
    };
    for (;;) {
        std::size_t unread = InputBufferSize();
        if (unread > scanStart) {
            // Only the bytes that arrived since the last search are searched.
            std::size_t found = FInputBuffer.find(terminator, FInputOffset + scanStart);
            if (found != AnsiString::npos) terminatorPos = found - FInputOffset;
            scanStart = unread;
        }
        if (terminatorPos != AnsiString::npos) {
            if (limit > 0 && terminatorPos > limit) return overLong();
            break;
        }
        if (limit > 0 && unread > limit) return overLong();
        CheckForClose(true, true);
        if (FillInputBuffer(true, timeoutMs, timeoutMs == -1) <= 0) {
            FReadLnTimedOut = true;
            return {};
        }
    }
    AnsiString line = TakeInput(terminatorPos + 1);
    line.pop_back();
    if (terminator == '\n' && !line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

AnsiString TIdTCPConnection::ReadLineSkipBlank() {
    for (;;) {
        const AnsiString line = ReadLine();
        const std::string_view trimmed = Trim(line);
        if (!trimmed.empty()) return AnsiString(trimmed);
    }
}

void TIdTCPConnection::ReadReply() {
    TReplyDeadline deadline(*this);
    TIdReplyLines reply;
    while (!reply.Add(ReadLine())) {
    }
    LastReply.ParseReply(reply.Lines());
}

int TIdTCPConnection::CheckReply(int code, const std::vector<int>& allowed) {
    if (!IsAnyCode(allowed) && std::find(allowed.begin(), allowed.end(), code) == allowed.end()) RaiseReplyError();
    return code;
}

int TIdTCPConnection::GetReply(const std::vector<int>& allowed) {
    ReadReply();
    return CheckReply(LastReply.NumericCode, allowed);
}

int TIdTCPConnection::SendCommand(std::string_view text, const std::vector<int>& allowed) {
    TReplyDeadline deadline(*this); // the reply's time runs from the command on
    WriteLine(text);
    return GetReply(allowed);
}

void TIdTCPConnection::RaiseReplyError() {
    throw EIdProtocolReplyError(LastReply.NumericCode, LastReply.TextWithLineBreaks());
}

AnsiString TIdTCPConnection::LocalHostName() { return FStack->LocalHostName(); }

TIdTCPConnection::TReplyDeadline::TReplyDeadline(TIdTCPConnection& connection) : FConnection(connection) {
    if (connection.FReplyDeadline || connection.ReadTimeout <= 0) return;
    connection.FReplyDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(connection.ReadTimeout);
    FOwner = true;
}

TIdTCPConnection::TReplyDeadline::~TReplyDeadline() {
    if (FOwner) FConnection.FReplyDeadline.reset();
}

// ---------------------------------------------------------------- TIdTCPClient

void TIdTCPClient::NotifyConnected() {
    if (OnConnected) OnConnected();
}

void TIdTCPClient::Connect(int timeoutMs) {
    if (!FIOHandler) {
        FIOHandler = std::make_unique<TIdIOHandlerSocket>(Stack());
        FFreeIOHandlerOnDisconnect = true;
    } else if (FIOHandler->Connected()) {
        throw EIdAlreadyConnected();
    }
    FIOHandler->OnStatus = OnStatus;
    try {
        FIOHandler->Open();
        ResetInput();
        FIOHandler->ConnectClient(Host, Port, BoundIP, BoundPort, timeoutMs);
        DoStatus("Connected.");
        NotifyConnected();
    } catch (...) {
        CloseSocket();
        throw;
    }
}
