#pragma once
// TauCustomHTTP: fetches one URL (or reads one local file) on a worker thread
// through libcurl and reports the outcome to its owner on the main thread.
// The body goes to memory or to a named output file; a transfer that did not
// store the whole body is never reported as done.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/AnsiString.h"
#include "platform/MessageLoop.h"
#include "upgrade/AuThread.h"
#include "upgrade/HttpPieces.h"

// Holder of the credentials a server asks for.
class TauLoginComponent {
public:
    virtual ~TauLoginComponent() = default;
    AnsiString HTTPUsername;
    AnsiString HTTPPassword;
};

// atPreconfig: the proxy environment (http_proxy, https_proxy, no_proxy);
// atDirect: no proxy; atUseProxy: ProxyServer:ProxyPort, except ProxyBypass.
enum TauHTTPAccessType { atPreconfig, atDirect, atUseProxy };

struct TauHTTPProxy {
    TauHTTPAccessType AccessType = atPreconfig;
    int ProxyPort = 8080;
    std::string ProxyServer;
    std::string ProxyBypass = "127.0.0.1;";
};

struct TauHTTPRange {
    std::int64_t StartRange = 0;
    std::int64_t EndRange = 0;
};

// Milliseconds; 0 keeps the built-in limit. A silent server must never hold
// a worker forever.
struct TauHTTPTimeouts {
    std::uint32_t ConnectTimeout = 0; // built in: 30 s
    std::uint32_t ReceiveTimeout = 0; // no byte for this long ends the transfer; built in: 60 s
    std::uint32_t SendTimeout = 0;    // counts like ReceiveTimeout (the longer one wins)
    std::uint32_t TransferTimeout = 0; // the whole transfer; built in: none (the owner may set one)
};

constexpr std::uint32_t DefaultConnectTimeoutMs = 30000;
constexpr std::uint32_t DefaultStallTimeoutMs = 60000;
// A named output file never grows beyond this.
constexpr std::uint64_t MaxOutputFileSize = std::uint64_t(1) << 30;

struct TauHttpHeaders {
    std::string RawHeaders; // each line ending in CR LF
    std::string ContentType, ContentLanguage, ContentEncoding, Location;
    std::int64_t ContentLength = 0; // 0: not announced
    std::optional<TSysSeconds> Date, LastModified, Expires;
};

struct TauHttpProgress {
    std::string ContentType;
    std::int64_t BytesTransferred = 0;
    std::int64_t ContentLength = 0;
    TProgressFigures Figures;
};

class TauCustomHTTP : public TauLoginComponent {
public:
    explicit TauCustomHTTP(TMessageLoop& loop);
    ~TauCustomHTTP() override;
    TauCustomHTTP(const TauCustomHTTP&) = delete;
    TauCustomHTTP& operator=(const TauCustomHTTP&) = delete;

    // ---- settings
    TauHTTPProxy Proxy;
    TThreadPriority ThreadPriority = tpNormal;
    int TransferBufferSize = 4096; // 255 to 2147483647
    std::function<void(AnsiString& ProxyUsername, AnsiString& ProxyPassword, bool& TryAgain)> OnProxyAuthenticationRequest;

    std::string URL;
    std::string OutputFileName; // "": the body is held in memory
    bool HideOutputFile = true; // the output file is readable by its owner only
    bool UseCache = true;       // false: the request asks every cache to revalidate
    bool UseCookies = true;     // cookies live in memory for one transfer
    bool WorkOffline = false;
    std::string AcceptTypes = "text/html, */*";
    std::string Agent = "quorvel/" QUORVEL_VERSION;
    std::string Referrer;
    std::vector<std::string> ExtraHeaders;
    TauHTTPRange Range;
    TauHTTPTimeouts Timeouts;
    // A PEM file of further trust anchors, added to the system's ones.
    std::string CaFile;
    // Whether "file" URLs may be read.
    bool AllowFileScheme = true;
    // Larger bodies end the transfer (announced or received).
    std::uint64_t MaxBodySize = MaxOutputFileSize;

    // ---- operations
    // False (and nothing happens) while a transfer runs.
    bool StartTransfer();
    bool IsTransferRunning() const;
    // Ends the running transfer at once; it delivers nothing more.
    void AbortTransfer();

    // ---- the transfer's outcome, valid inside the notifications and after them
    int StatusCode() const;            // -1: no HTTP status obtained
    std::int64_t BytesTransferred() const;
    // What went wrong, for logs and quorvelctl ("" when nothing did).
    std::string FailureText() const;
    const TauHttpHeaders& Headers() const;

protected:
    // Notifications on the main thread. The headers arrive before the body;
    // clearing Continue cancels the transfer.
    virtual void DoHeadersReceived(const TauHttpHeaders& headers, bool& Continue);
    virtual void DoProgress(const TauHttpProgress& progress);
    // `data` is the body held in memory; nullptr for an output file (closed by now).
    virtual void DoTransferDone(const std::string& contentType, const std::string* data, std::int64_t bytes);
    virtual void DoTransferCancelled();
    virtual void DoConnLost(std::int64_t bytes, std::int64_t contentLength);
    virtual void DoHostUnreachable();
    virtual void DoHttpError(int status, const std::string* data);
    virtual void DoPasswordRequest(const AnsiString& Realm, bool& TryAgain);
    // A notification raised an error (already reported): the owner stops.
    virtual void DoNotificationFailed();
    virtual bool ListensForProgress() const { return false; }

    TMessageLoop& Loop() const { return thread_.Loop(); }

public:
    struct TTransfer; // shared by the component and its worker

    // Where the worker's main-thread calls enter (main thread only).
    void DoHeadersReceivedFromWorker(const TauHttpHeaders& headers, bool& Continue);
    void DoProgressFromWorker(const TauHttpProgress& progress);
    void DoPasswordRequestFromWorker(const AnsiString& Realm, bool& TryAgain);

private:
    void Complete(const std::shared_ptr<TTransfer>& transfer);

    std::shared_ptr<TTransfer> transfer_;
    TauCustomThread thread_;
};
