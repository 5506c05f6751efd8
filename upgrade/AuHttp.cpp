#include "upgrade/AuHttp.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/Files.h"
#include "upgrade/UpgradeInfo.h"

namespace {

using TSteady = std::chrono::steady_clock;

// Bounds the credential prompts one transfer may raise.
constexpr int MaxAuthenticationRounds = 10;

struct TCurlDeleter {
    void operator()(CURL* h) const { curl_easy_cleanup(h); }
};
struct TCurlUrlDeleter {
    void operator()(CURLU* u) const { curl_url_cleanup(u); }
};
struct TSlistDeleter {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
struct TCurlString {
    char* Text = nullptr;
    ~TCurlString() { curl_free(Text); }
};

void InitCurlOnce() {
    // Before any worker exists: the global set-up is not thread-safe.
    static const bool done = (curl_global_init(CURL_GLOBAL_DEFAULT), true);
    (void)done;
}

std::string LowerAscii(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

// The value of the first header field `name` in raw header lines.
std::string HeaderValue(const std::string& raw, std::string_view name) {
    const std::string lowerName = LowerAscii(name);
    std::size_t start = 0;
    while (start < raw.size()) {
        std::size_t end = raw.find('\n', start);
        if (end == std::string::npos) end = raw.size();
        std::string_view line(raw.data() + start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        const std::size_t colon = line.find(':');
        if (colon != std::string_view::npos && LowerAscii(line.substr(0, colon)) == lowerName) {
            std::string_view value = line.substr(colon + 1);
            while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
            while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
            return std::string(value);
        }
        start = end + 1;
    }
    return {};
}

std::string WithScheme(const std::string& url) {
    return url.find("://") == std::string::npos ? "http://" + url : url;
}

} // namespace

struct TauCustomHTTP::TTransfer {
    // ---- settings, copied when the transfer starts
    std::string Url;
    std::string OutputFileName;
    bool HideOutputFile = true, UseCache = true, UseCookies = true, WorkOffline = false;
    std::string AcceptTypes, Agent, Referrer;
    std::vector<std::string> ExtraHeaders;
    TauHTTPRange Range;
    TauHTTPTimeouts Timeouts;
    TauHTTPProxy Proxy;
    std::string CaFile;
    bool AllowFileScheme = true;
    std::uint64_t MaxBodySize = MaxOutputFileSize;
    std::size_t BufferSize = 4096;
    bool ListensForProgress = false;
    bool AsksProxyCredentials = false;
    AnsiString Username, Password;
    // Dereferenced on the main thread only, inside calls that have checked
    // under the shared lock that this transfer's worker is still current.
    TauCustomHTTP* Owner = nullptr;

    std::atomic<bool> Aborted{false};
    TSteady::time_point Started;

    // ---- outcome, written by the worker; read by the main thread inside
    // notifications (the worker waits) or after the routine has ended
    int Status = -1;
    bool Continue = true;
    bool NotificationFailed = false;
    bool HeadersDone = false;
    bool HaveLength = false;
    TauHttpHeaders Headers;
    std::string ResponseHeaders; // of the response being received
    std::int64_t Bytes = 0;
    std::string Body;
    int Fd = -1;
    bool ToFile = false;
    bool StoreFailed = false;
    bool TooLarge = false;
    bool TransferFailed = false;
    std::string Failure;

    std::mutex ProgressLock;
    bool ProgressPending = false;
    std::int64_t ProgressBytes = 0;

    ~TTransfer() {
        if (Fd >= 0) ::close(Fd);
    }
};

namespace {

using TTransfer = TauCustomHTTP::TTransfer;

struct TRunContext {
    std::shared_ptr<TTransfer> Transfer;
    TauWorker* Worker;
    CURL* Handle = nullptr;
};

void Fail(TTransfer& t, std::string text) {
    if (t.Failure.empty()) t.Failure = std::move(text);
}

void PostProgress(TRunContext& c) {
    TTransfer& t = *c.Transfer;
    if (!t.ListensForProgress) return;
    {
        std::lock_guard lock(t.ProgressLock);
        t.ProgressBytes = t.Bytes;
        if (t.ProgressPending) return; // the queued one will show the latest figures
        t.ProgressPending = true;
    }
    // Not waited for: a main thread busy with a backup step must not stall the download.
    c.Worker->PostToMainThread([t = c.Transfer] {
        TauHttpProgress progress;
        {
            std::lock_guard lock(t->ProgressLock);
            t->ProgressPending = false;
            progress.BytesTransferred = t->ProgressBytes;
        }
        progress.ContentLength = t->Headers.ContentLength;
        progress.ContentType = t->Headers.ContentType;
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(TSteady::now() - t->Started);
        progress.Figures = ComputeProgress(progress.BytesTransferred, progress.ContentLength, elapsed.count());
        t->Owner->DoProgressFromWorker(progress);
    });
}

bool Store(TRunContext& c, const char* data, std::size_t size) {
    TTransfer& t = *c.Transfer;
    if (static_cast<std::uint64_t>(t.Bytes) + size > t.MaxBodySize) {
        t.TooLarge = true;
        Fail(t, "the answer is larger than " + std::to_string(t.MaxBodySize) + " bytes");
        return false;
    }
    if (t.ToFile) {
        std::size_t done = 0;
        while (done < size) {
            const ssize_t n = ::write(t.Fd, data + done, size - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                t.StoreFailed = true;
                Fail(t, "cannot write " + t.OutputFileName + ": " + ErrnoText(n < 0 ? errno : ENOSPC));
                return false;
            }
            done += static_cast<std::size_t>(n);
        }
    } else {
        t.Body.append(data, size);
    }
    t.Bytes += static_cast<std::int64_t>(size);
    PostProgress(c);
    return true;
}

// The headers of the answer have arrived: tell the owner, choose the destination.
bool BeginBody(TRunContext& c) {
    TTransfer& t = *c.Transfer;
    t.HeadersDone = true;
    TauHttpHeaders& h = t.Headers;
    h.RawHeaders = t.ResponseHeaders;
    h.ContentType = HeaderValue(h.RawHeaders, "Content-Type");
    h.ContentLanguage = HeaderValue(h.RawHeaders, "Content-Language");
    h.ContentEncoding = HeaderValue(h.RawHeaders, "Content-Encoding");
    h.Location = HeaderValue(h.RawHeaders, "Location");
    h.Date = ParseHttpDate(HeaderValue(h.RawHeaders, "Date"));
    h.LastModified = ParseHttpDate(HeaderValue(h.RawHeaders, "Last-Modified"));
    h.Expires = ParseHttpDate(HeaderValue(h.RawHeaders, "Expires"));
    if (c.Handle) {
        curl_off_t length = -1;
        curl_easy_getinfo(c.Handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
        t.HaveLength = length >= 0;
        h.ContentLength = length > 0 ? static_cast<std::int64_t>(length) : 0;
    }
    if (c.Handle) { // a local file goes straight to its destination
        bool proceed = true;
        const bool ran = c.Worker->CallOnMainThread([&] { t.Owner->DoHeadersReceivedFromWorker(h, proceed); });
        if (!ran) {
            t.NotificationFailed = c.Worker->IsCurrent();
            t.Continue = false;
            return false;
        }
        t.Continue = proceed;
        if (!proceed) return false;
    }
    if (t.HaveLength && static_cast<std::uint64_t>(h.ContentLength) > t.MaxBodySize) {
        t.TooLarge = true;
        Fail(t, "the answer announces " + std::to_string(h.ContentLength) + " bytes, more than " +
                    std::to_string(t.MaxBodySize));
        return false;
    }
    if (!t.OutputFileName.empty()) {
        ::unlink(t.OutputFileName.c_str());
        // A new file of ours: a link or file slipped in meanwhile is refused.
        t.Fd = ::open(t.OutputFileName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                      t.HideOutputFile ? 0600 : 0644);
        if (t.Fd < 0) {
            t.StoreFailed = true;
            Fail(t, "cannot create " + t.OutputFileName + ": " + ErrnoText(errno));
            return false;
        }
        t.ToFile = true;
    }
    return true;
}

bool Stopped(const TRunContext& c) {
    return c.Transfer->Aborted || !c.Worker->IsCurrent();
}

std::size_t WriteBody(char* data, std::size_t size, std::size_t count, void* user) {
    TRunContext& c = *static_cast<TRunContext*>(user);
    TTransfer& t = *c.Transfer;
    const std::size_t n = size * count;
    if (Stopped(c)) return 0;
    long code = 0;
    curl_easy_getinfo(c.Handle, CURLINFO_RESPONSE_CODE, &code);
    if (code == 401 || (code == 407 && t.AsksProxyCredentials)) return n; // a challenge's page is not the body
    if (!t.HeadersDone) {
        t.Status = static_cast<int>(code);
        if (!BeginBody(c)) return 0;
    }
    return Store(c, data, n) ? n : 0;
}

std::size_t WriteHeader(char* data, std::size_t size, std::size_t count, void* user) {
    TRunContext& c = *static_cast<TRunContext*>(user);
    const std::size_t n = size * count;
    std::string_view line(data, n);
    if (line.substr(0, 5) == "HTTP/") c.Transfer->ResponseHeaders.clear(); // a new answer (after a redirect)
    c.Transfer->ResponseHeaders.append(line);
    return n;
}

int TransferInfo(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return Stopped(*static_cast<TRunContext*>(user)) ? 1 : 0;
}

void ReadLocalFile(TRunContext& c) {
    TTransfer& t = *c.Transfer;
    if (!t.AllowFileScheme) {
        Fail(t, "a local file may not be fetched here");
        return;
    }
    std::unique_ptr<CURLU, TCurlUrlDeleter> url(curl_url());
    TCurlString path;
    if (!url || curl_url_set(url.get(), CURLUPART_URL, t.Url.c_str(), 0) != CURLUE_OK ||
        curl_url_get(url.get(), CURLUPART_PATH, &path.Text, CURLU_URLDECODE) != CURLUE_OK) {
        Fail(t, "malformed address " + t.Url);
        return;
    }
    const int fd = ::open(path.Text, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        t.Status = 404;
        Fail(t, std::string(path.Text) + ": " + ErrnoText(errno));
        return;
    }
    struct TFd {
        int Fd;
        ~TFd() { ::close(Fd); }
    } file{fd};
    struct stat st {};
    ::fstat(fd, &st);
    if (!S_ISREG(st.st_mode)) {
        t.Status = 404;
        Fail(t, std::string(path.Text) + " is not a file");
        return;
    }
    t.Status = 200;
    t.HaveLength = true;
    t.Headers.ContentLength = static_cast<std::int64_t>(st.st_size);
    if (!BeginBody(c)) return;
    std::vector<char> buffer(t.BufferSize);
    for (;;) {
        if (Stopped(c)) return;
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (!Store(c, buffer.data(), static_cast<std::size_t>(n))) return;
    }
}

std::string TrustAnchors(CURL* handle, const std::string& caFile, std::string& error) {
    std::string pem;
    char* systemFile = nullptr;
    curl_easy_getinfo(handle, CURLINFO_CAINFO, &systemFile);
    if (systemFile) {
        std::string system;
        if (ReadWholeFile(systemFile, system)) pem = system + "\n";
    }
    std::string extra;
    if (!ReadWholeFile(caFile, extra)) {
        error = "cannot read CaFile " + caFile + ": " + ErrnoText(errno);
        return {};
    }
    return pem + extra;
}

void Fetch(TRunContext& c) {
    TTransfer& t = *c.Transfer;
    if (t.WorkOffline) {
        Fail(t, "working offline");
        return;
    }
    std::unique_ptr<CURL, TCurlDeleter> handle(curl_easy_init());
    if (!handle) {
        Fail(t, "cannot start a transfer");
        return;
    }
    CURL* h = handle.get();
    c.Handle = h;
    char errorText[CURL_ERROR_SIZE] = {};

    std::unique_ptr<CURLU, TCurlUrlDeleter> url(curl_url());
    if (!url || curl_url_set(url.get(), CURLUPART_URL, t.Url.c_str(), 0) != CURLUE_OK) {
        Fail(t, "malformed address " + t.Url);
        return;
    }
    {
        TCurlString user, password;
        curl_url_get(url.get(), CURLUPART_USER, &user.Text, CURLU_URLDECODE);
        curl_url_get(url.get(), CURLUPART_PASSWORD, &password.Text, CURLU_URLDECODE);
        if (user.Text && *user.Text) t.Username = user.Text;
        if (password.Text && *password.Text) t.Password = password.Text;
    }
    const bool https = UrlScheme(t.Url) == "https";

    curl_easy_setopt(h, CURLOPT_CURLU, url.get());
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, 5L);
    // Never from HTTPS down to plain HTTP; credentials stay with their host (libcurl's default).
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, https ? "https" : "http,https");
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    std::string anchors;
    if (!t.CaFile.empty()) {
        std::string error;
        anchors = TrustAnchors(h, t.CaFile, error);
        if (!error.empty()) {
            Fail(t, error);
            return;
        }
        curl_blob blob{anchors.data(), anchors.size(), CURL_BLOB_NOCOPY};
        curl_easy_setopt(h, CURLOPT_CAINFO_BLOB, &blob);
    }
    curl_easy_setopt(h, CURLOPT_USERAGENT, t.Agent.c_str());
    if (!t.Referrer.empty()) curl_easy_setopt(h, CURLOPT_REFERER, t.Referrer.c_str());
    if (t.UseCookies) curl_easy_setopt(h, CURLOPT_COOKIEFILE, ""); // in memory, this transfer only
    switch (t.Proxy.AccessType) {
    case atPreconfig: break; // libcurl reads http_proxy, https_proxy and no_proxy
    case atDirect: curl_easy_setopt(h, CURLOPT_PROXY, ""); break;
    case atUseProxy: {
        const std::string proxy = t.Proxy.ProxyServer + ":" + std::to_string(t.Proxy.ProxyPort);
        std::string bypass = t.Proxy.ProxyBypass;
        std::replace(bypass.begin(), bypass.end(), ';', ',');
        curl_easy_setopt(h, CURLOPT_PROXY, proxy.c_str());
        curl_easy_setopt(h, CURLOPT_NOPROXY, bypass.c_str());
        break;
    }
    }

    std::unique_ptr<curl_slist, TSlistDeleter> headers;
    auto addHeader = [&headers](const std::string& line) {
        curl_slist* next = curl_slist_append(headers.get(), line.c_str());
        if (next) {
            (void)headers.release();
            headers.reset(next);
        }
    };
    addHeader("Accept: " + t.AcceptTypes);
    if (!t.UseCache) {
        addHeader("Cache-Control: no-cache");
        addHeader("Pragma: no-cache");
    }
    for (const std::string& line : t.ExtraHeaders) addHeader(line);
    if (t.Range.StartRange != 0 || t.Range.EndRange != 0)
        addHeader("Range: bytes=" + std::to_string(t.Range.StartRange) + "-" +
                  (t.Range.EndRange != 0 ? std::to_string(t.Range.EndRange) : std::string()));
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());

    const long connectMs = t.Timeouts.ConnectTimeout ? t.Timeouts.ConnectTimeout : DefaultConnectTimeoutMs;
    const std::uint32_t stallMs = std::max(t.Timeouts.ReceiveTimeout, t.Timeouts.SendTimeout);
    const long stallSeconds = static_cast<long>(((stallMs ? stallMs : DefaultStallTimeoutMs) + 999) / 1000);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, connectMs);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, stallSeconds);
    if (t.Timeouts.TransferTimeout) curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(t.Timeouts.TransferTimeout));
    curl_easy_setopt(h, CURLOPT_BUFFERSIZE, static_cast<long>(std::clamp<std::size_t>(t.BufferSize, 1024, CURL_MAX_READ_SIZE)));

    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, WriteBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &c);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, WriteHeader);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &c);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, TransferInfo);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &c);

    for (int round = 0;; ++round) {
        if (!t.Username.empty() || !t.Password.empty()) {
            curl_easy_setopt(h, CURLOPT_HTTPAUTH, CURLAUTH_BASIC | CURLAUTH_DIGEST);
            curl_easy_setopt(h, CURLOPT_USERNAME, t.Username.c_str());
            curl_easy_setopt(h, CURLOPT_PASSWORD, t.Password.c_str());
        }
        t.ResponseHeaders.clear();
        errorText[0] = 0;
        const CURLcode rc = curl_easy_perform(h);
        long code = 0;
        curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &code);
        if (t.Status == -1 || !t.HeadersDone) t.Status = code > 0 ? static_cast<int>(code) : -1;
        if (Stopped(c) || !t.Continue || t.NotificationFailed) return;
        if (rc != CURLE_OK && !t.TooLarge && !t.StoreFailed) {
            t.TransferFailed = true;
            Fail(t, errorText[0] ? std::string(errorText) : std::string(curl_easy_strerror(rc)));
        }
        if (round + 1 >= MaxAuthenticationRounds || t.HeadersDone) break;
        bool tryAgain = false;
        bool ran = true;
        if (t.Status == 401) {
            const AnsiString realm = RealmFromHeader(HeaderValue(t.ResponseHeaders, "WWW-Authenticate"));
            ran = c.Worker->CallOnMainThread([&] {
                t.Owner->DoPasswordRequestFromWorker(realm, tryAgain);
                t.Username = t.Owner->HTTPUsername;
                t.Password = t.Owner->HTTPPassword;
            });
        } else if (t.Status == 407 && t.AsksProxyCredentials) {
            AnsiString user, password;
            ran = c.Worker->CallOnMainThread([&] {
                if (t.Owner->OnProxyAuthenticationRequest) t.Owner->OnProxyAuthenticationRequest(user, password, tryAgain);
            });
            curl_easy_setopt(h, CURLOPT_PROXYUSERNAME, user.c_str());
            curl_easy_setopt(h, CURLOPT_PROXYPASSWORD, password.c_str());
        }
        if (!ran) {
            t.NotificationFailed = c.Worker->IsCurrent();
            t.Continue = false;
            return;
        }
        if (!tryAgain) break;
        t.TransferFailed = false;
        t.Failure.clear();
        t.Status = -1;
    }
    // An answer without a body (a 404 without a page, an empty file) still
    // has its headers and its destination.
    if (!t.HeadersDone && t.Status != -1 && !t.TransferFailed) BeginBody(c);
}

} // namespace

// ---------------------------------------------------------------- TauCustomHTTP

TauCustomHTTP::TauCustomHTTP(TMessageLoop& loop) : transfer_(std::make_shared<TTransfer>()), thread_(loop) {
    InitCurlOnce();
}

TauCustomHTTP::~TauCustomHTTP() {
    AbortTransfer();
}

bool TauCustomHTTP::StartTransfer() {
    if (IsTransferRunning()) return false;
    auto t = std::make_shared<TTransfer>();
    t->Url = WithScheme(URL);
    t->OutputFileName = OutputFileName;
    t->HideOutputFile = HideOutputFile;
    t->UseCache = UseCache;
    t->UseCookies = UseCookies;
    t->WorkOffline = WorkOffline;
    t->AcceptTypes = AcceptTypes;
    t->Agent = Agent;
    t->Referrer = Referrer;
    t->ExtraHeaders = ExtraHeaders;
    t->Range = Range;
    t->Timeouts = Timeouts;
    t->Proxy = Proxy;
    t->CaFile = CaFile;
    t->AllowFileScheme = AllowFileScheme;
    t->MaxBodySize = MaxBodySize;
    t->BufferSize = static_cast<std::size_t>(std::max(255, TransferBufferSize));
    t->ListensForProgress = ListensForProgress();
    t->AsksProxyCredentials = static_cast<bool>(OnProxyAuthenticationRequest);
    t->Username = HTTPUsername;
    t->Password = HTTPPassword;
    t->Owner = this;
    t->Started = TSteady::now();
    transfer_ = t;

    thread_.Priority = ThreadPriority;
    thread_.Routines.Execute = [t](TauWorker& worker) {
        TRunContext context{t, &worker};
        if (UrlScheme(t->Url) == "file")
            ReadLocalFile(context);
        else
            Fetch(context);
        if (t->Fd >= 0 && ::close(t->Fd) != 0 && !t->StoreFailed) {
            t->StoreFailed = true;
            Fail(*t, "cannot write " + t->OutputFileName + ": " + ErrnoText(errno));
        }
        t->Fd = -1;
    };
    thread_.Routines.Error = [t](const std::string& message) {
        t->TransferFailed = true;
        Fail(*t, message);
    };
    thread_.Routines.Completion = [this, t] { Complete(t); };
    thread_.Routines.CallFailed = [this] { DoNotificationFailed(); };
    return thread_.Start();
}

bool TauCustomHTTP::IsTransferRunning() const {
    return thread_.Busy();
}

void TauCustomHTTP::AbortTransfer() {
    transfer_->Aborted = true;
    thread_.Discard();
}

int TauCustomHTTP::StatusCode() const { return transfer_->Status; }
std::int64_t TauCustomHTTP::BytesTransferred() const { return transfer_->Bytes; }
std::string TauCustomHTTP::FailureText() const { return transfer_->Failure; }
const TauHttpHeaders& TauCustomHTTP::Headers() const { return transfer_->Headers; }

void TauCustomHTTP::Complete(const std::shared_ptr<TTransfer>& t) {
    const bool complete = t->Status == 200 && t->HeadersDone && !t->TransferFailed && !t->StoreFailed &&
                          !t->TooLarge && (t->Headers.ContentLength == 0 || t->Bytes == t->Headers.ContentLength);
    // A partial file goes before the owner hears of it: the owner may start
    // the same file again from the notification.
    if (t->ToFile && (!complete || t->NotificationFailed)) ::unlink(t->OutputFileName.c_str());
    if (t->NotificationFailed) {
        DoNotificationFailed();
        return;
    }
    if (!t->Continue) {
        DoTransferCancelled();
        return;
    }
    if (complete) {
        const std::string contentType = t->Headers.ContentType;
        DoTransferDone(contentType, t->ToFile ? nullptr : &t->Body, t->Bytes);
    } else if (t->TooLarge && t->OutputFileName.empty()) {
        DoHttpError(t->Status, nullptr);
    } else if (t->Status == 200) {
        DoConnLost(t->Bytes, t->Headers.ContentLength);
    } else if (t->Status == -1) {
        DoHostUnreachable();
    } else {
        DoHttpError(t->Status, &t->Body);
    }
}

void TauCustomHTTP::DoHeadersReceivedFromWorker(const TauHttpHeaders& headers, bool& Continue) {
    DoHeadersReceived(headers, Continue);
}
void TauCustomHTTP::DoProgressFromWorker(const TauHttpProgress& progress) { DoProgress(progress); }
void TauCustomHTTP::DoPasswordRequestFromWorker(const AnsiString& Realm, bool& TryAgain) {
    DoPasswordRequest(Realm, TryAgain);
}

void TauCustomHTTP::DoHeadersReceived(const TauHttpHeaders&, bool&) {}
void TauCustomHTTP::DoProgress(const TauHttpProgress&) {}
void TauCustomHTTP::DoTransferDone(const std::string&, const std::string*, std::int64_t) {}
void TauCustomHTTP::DoTransferCancelled() {}
void TauCustomHTTP::DoConnLost(std::int64_t, std::int64_t) {}
void TauCustomHTTP::DoHostUnreachable() {}
void TauCustomHTTP::DoHttpError(int, const std::string*) {}
void TauCustomHTTP::DoPasswordRequest(const AnsiString&, bool&) {}
void TauCustomHTTP::DoNotificationFailed() {}
