#pragma once
// The client side of a line-oriented TCP connection: connect, write lines ending
// in CR LF, read lines from a buffered input, read numbered replies and check
// them against the codes a command allows. Everything blocks the caller.
//
// TIdSocketHandle owns one socket; TIdIOHandlerSocket holds the handle;
// TIdTCPConnection holds the handler, the input buffer and the reply logic;
// TIdTCPClient adds the host, the port and Connect.
#include <chrono>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "mail/IdException.h"
#include "mail/IdReply.h"
#include "mail/IdWriter.h"
#include "platform/AnsiString.h"
#include "platform/IdStack.h"

class TIdSocketHandle {
public:
    explicit TIdSocketHandle(std::shared_ptr<TIdStack> stack);
    ~TIdSocketHandle(); // closes a socket still allocated
    TIdSocketHandle(const TIdSocketHandle&) = delete;
    TIdSocketHandle& operator=(const TIdSocketHandle&) = delete;

    void Reset(); // not allocated, addresses cleared
    void AllocateSocket(); // EIdInvalidSocket when no socket can be made
    void Bind(); // to IP:Port (empty/0: any)
    void Connect(int timeoutMs); // to PeerIP:PeerPort; below 1: the platform's own time-out
    void UpdateBindingLocal();
    void UpdateBindingPeer();
    void CloseSocket(); // if allocated: not allocated, shut down sending, close
    void SetSendTimeout(int timeoutMs);
    int SendTimeout() const { return FSendTimeout; }

    bool HandleAllocated() const { return FHandle != Id_INVALID_SOCKET; }
    TIdStackSocketHandle Handle() const { return FHandle; }

    AnsiString IP;
    int Port = 0;
    AnsiString PeerIP;
    int PeerPort = 0;

private:
    std::shared_ptr<TIdStack> FStack;
    TIdStackSocketHandle FHandle = Id_INVALID_SOCKET;
    int FSendTimeout = 0;
};

class TIdIOHandlerSocket {
public:
    using TStatusEvent = std::function<void(const AnsiString&)>;

    explicit TIdIOHandlerSocket(std::shared_ptr<TIdStack> stack);
    virtual ~TIdIOHandlerSocket() = default;
    TIdIOHandlerSocket(const TIdIOHandlerSocket&) = delete;
    TIdIOHandlerSocket& operator=(const TIdIOHandlerSocket&) = delete;

    // Creates the socket handle, or resets the existing one.
    virtual void Open();
    // Allocate, bind, resolve, connect; raises the errors of the connection.
    void ConnectClient(const AnsiString& host, int port, const AnsiString& boundIP, int boundPort, int timeoutMs);
    virtual void Close();
    bool Connected() const { return FBinding && FBinding->HandleAllocated(); }

    // Raise EIdClosedSocket "Disconnected." when the socket is not allocated.
    // A layer above the socket (TLS) overrides these three; the connection
    // calls Readable before every Recv, so a read never waits past its time-out.
    virtual ssize_t Send(const void* data, std::size_t length);
    virtual ssize_t Recv(void* buffer, std::size_t length);
    virtual int Readable(int timeoutMs);

    TIdSocketHandle* Binding() const { return FBinding.get(); }
    TIdStack& Stack() const { return *FStack; }

    bool UseNagle = true; // false switches TCP no-delay on
    TStatusEvent OnStatus;

private:
    void DoStatus(const AnsiString& text) const;

    std::shared_ptr<TIdStack> FStack;
    std::unique_ptr<TIdSocketHandle> FBinding;
};

enum TIdMaxLineAction { maException, maSplit };

class TIdTCPConnection : public TIdWriter {
public:
    using TStatusEvent = std::function<void(const AnsiString&)>;
    using TNotifyEvent = std::function<void()>;

    TIdTCPConnection();
    ~TIdTCPConnection() override; // closes the socket; says nothing to the peer
    TIdTCPConnection(const TIdTCPConnection&) = delete;
    TIdTCPConnection& operator=(const TIdTCPConnection&) = delete;

    // -- state
    virtual bool Connected();
    virtual void Disconnect();
    virtual void CloseSocket();
    // Notices a close; raises EIdConnClosedGracefully when asked to and no
    // buffered byte can serve a read (or the buffer is to be ignored).
    virtual void CheckForClose(bool raiseIfClosed, bool ignoreBuffer);

    // -- writing: unbuffered, every call reaches the socket before it returns
    void Write(std::string_view text) override;
    virtual void WriteLine(std::string_view text);
    void WriteBytes(const void* bytes, std::size_t count);

    // -- reading
    // Appends what one receive brings; 0 when closed, -1 on a time-out that is not raised.
    virtual int FillInputBuffer(bool raiseIfClosed, int timeoutMs = -1, bool raiseOnTimeout = true);
    virtual AnsiString ReadLine();
    AnsiString ReadLn(char terminator, int timeoutMs, int maxLineLength);
    AnsiString ReadLineSkipBlank();
    std::size_t InputBufferSize() const { return FInputBuffer.size() - FInputOffset; }

    // -- replies. An empty list of allowed codes, or the single code -1, accepts any.
    // With ReadTimeout above 0 a whole reply must arrive within ReadTimeout,
    // counted from its command (SendCommand) or from the start of the read, else
    // EIdReadTimeout. A reply is grouped and bounded as TIdReplyLines says.
    void ReadReply();
    virtual int CheckReply(int code, const std::vector<int>& allowed);
    virtual int GetReply(const std::vector<int>& allowed);
    virtual int SendCommand(std::string_view text, const std::vector<int>& allowed);
    [[noreturn]] virtual void RaiseReplyError();

    AnsiString LocalHostName();

    // Longest wait for incoming data in milliseconds; 0 waits without limit.
    // Above 0 it also bounds how long a send may wait for the peer to take data.
    int ReadTimeout = 0;
    int MaxLineLength = 16384; // 0: no limit
    TIdMaxLineAction MaxLineAction = maException;
    int RecvBufferSize = 32768;
    int SendBufferSize = 32768;
    TIdRFCReply LastReply;

    // Set when a receive returned 0 or a send wrote 0, and when this side closes.
    bool ClosedGracefully() const { return FClosedGracefully; }
    bool ReadLnSplit() const { return FReadLnSplit; }
    bool ReadLnTimedOut() const { return FReadLnTimedOut; }

    TIdIOHandlerSocket* IOHandler() const { return FIOHandler.get(); }
    // A handler set here stays through Disconnect; one made by Connect does not.
    void SetIOHandler(std::unique_ptr<TIdIOHandlerSocket> handler);

    TStatusEvent OnStatus;
    TNotifyEvent OnConnected;
    TNotifyEvent OnDisconnected;

protected:
    void DoStatus(const AnsiString& text) const;
    void ResetInput();
    void NotifyDisconnected();
    std::shared_ptr<TIdStack> Stack() const { return FStack; }

    std::unique_ptr<TIdIOHandlerSocket> FIOHandler;
    bool FFreeIOHandlerOnDisconnect = false;

private:
    // Sets the deadline of one reply for its lifetime, unless one runs already.
    class TReplyDeadline {
    public:
        explicit TReplyDeadline(TIdTCPConnection& connection);
        ~TReplyDeadline();
        TReplyDeadline(const TReplyDeadline&) = delete;
        TReplyDeadline& operator=(const TReplyDeadline&) = delete;

    private:
        TIdTCPConnection& FConnection;
        bool FOwner = false;
    };

    void ConsumeInput(std::size_t count);
    AnsiString TakeInput(std::size_t count);

    std::shared_ptr<TIdStack> FStack;
    // Received bytes not yet read start at FInputOffset; consumed bytes are
    // dropped only when the offset reaches 32768, not on every line.
    AnsiString FInputBuffer;
    std::size_t FInputOffset = 0;
    bool FClosedGracefully = false;
    bool FReadLnSplit = false;
    bool FReadLnTimedOut = false;
    std::optional<std::chrono::steady_clock::time_point> FReplyDeadline;
};

class TIdTCPClient : public TIdTCPConnection {
public:
    // timeout -1 or 0: the platform's own connect time-out; above 0: gives up
    // after that many milliseconds with EIdConnectTimeout.
    virtual void Connect(int timeoutMs = -1);

    AnsiString Host;
    int Port = 0;
    AnsiString BoundIP;
    int BoundPort = 0;

protected:
    void NotifyConnected();
};
