// Mail throughput: sends one large attachment through TIdSMTP to a local SMTP sink
// and then the same file with curl, in plain text and over STARTTLS, and prints
// the rates, the bytes the sink received and the peak memories.
//   mail_throughput_bench [MiB] [rounds]    (default 256 MiB, 3 rounds)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "mail/IdCoderMIME.h"
#include "mail/IdMessage.h"
#include "mail/IdSMTP.h"
#include "pipeline/ArchiveMessage.h"

namespace {

// What to remove when the benchmark is interrupted (Ctrl-C, kill), when no
// destructor runs: the attachment is large. Removed from the last one back, a
// file before its folder.
char GRemoveOnSignal[3][4096];
volatile std::sig_atomic_t GRemoveCount = 0;

void RemoveOnSignal(const std::string& path) {
    if (GRemoveCount < 3 && path.size() < sizeof GRemoveOnSignal[0]) {
        std::memcpy(GRemoveOnSignal[GRemoveCount], path.c_str(), path.size() + 1);
        GRemoveCount = GRemoveCount + 1;
    }
}

void OnSignal(int signal) {
    for (int i = GRemoveCount - 1; i >= 0; --i) {
        ::unlink(GRemoveOnSignal[i]);
        ::rmdir(GRemoveOnSignal[i]);
    }
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

template <auto Free>
struct TFreeWith {
    template <class T>
    void operator()(T* p) const {
        Free(p);
    }
};
using TKey = std::unique_ptr<EVP_PKEY, TFreeWith<EVP_PKEY_free>>;
using TCert = std::unique_ptr<X509, TFreeWith<X509_free>>;
using TCtx = std::unique_ptr<SSL_CTX, TFreeWith<SSL_CTX_free>>;
using TSsl = std::unique_ptr<SSL, TFreeWith<SSL_free>>;
using TExtension = std::unique_ptr<X509_EXTENSION, TFreeWith<X509_EXTENSION_free>>;

[[noreturn]] void OpenSSLFailed(const char* what) {
    char text[256] = "no detail";
    if (unsigned long e = ERR_get_error()) ERR_error_string_n(e, text, sizeof text);
    throw std::runtime_error(std::string(what) + ": " + text);
}

void AddExtension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    TExtension ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value));
    if (!ext || X509_add_ext(cert, ext.get(), -1) != 1) OpenSSLFailed("certificate extension");
}

TCert MakeCertificate(EVP_PKEY* key, const char* commonName, X509* issuer, EVP_PKEY* issuerKey, long serial) {
    TCert cert(X509_new());
    if (!cert) OpenSSLFailed("X509_new");
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400);
    X509_set_pubkey(cert.get(), key);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0);
    X509* signer = issuer ? issuer : cert.get();
    X509_set_issuer_name(cert.get(), X509_get_subject_name(signer));
    if (!issuer) {
        AddExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
        AddExtension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
        AddExtension(cert.get(), signer, NID_subject_key_identifier, "hash");
    } else {
        AddExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:FALSE");
        AddExtension(cert.get(), signer, NID_key_usage, "critical,digitalSignature");
        AddExtension(cert.get(), signer, NID_ext_key_usage, "serverAuth");
        AddExtension(cert.get(), signer, NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1");
        AddExtension(cert.get(), signer, NID_authority_key_identifier, "keyid:always");
    }
    if (X509_sign(cert.get(), issuer ? issuerKey : key, EVP_sha256()) == 0) OpenSSLFailed("X509_sign");
    return cert;
}

// A CA made for this run and a server certificate for localhost and 127.0.0.1
// that it signs. Only the CA certificate goes to disk, in a private temporary
// folder that goes when this does; the server's key stays in memory.
class TTlsFiles {
public:
    TTlsFiles() {
        std::string pattern = (std::filesystem::temp_directory_path() / "quorvel-bench-tls-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary folder");
        FDir = pattern;
        RemoveOnSignal(FDir);
        TKey caKey(EVP_EC_gen("P-256"));
        FKey.reset(EVP_EC_gen("P-256"));
        if (!caKey || !FKey) OpenSSLFailed("key generation");
        TCert ca = MakeCertificate(caKey.get(), "Quorvel bench CA", nullptr, nullptr, 1);
        FCert = MakeCertificate(FKey.get(), "localhost", ca.get(), caKey.get(), 2);
        FCAFile = FDir + "/ca.pem";
        RemoveOnSignal(FCAFile);
        std::FILE* out = std::fopen(FCAFile.c_str(), "w");
        if (!out) throw std::runtime_error("cannot write " + FCAFile);
        const bool written = PEM_write_X509(out, ca.get()) == 1;
        if (std::fclose(out) != 0 || !written) throw std::runtime_error("cannot write " + FCAFile);

        FCtx.reset(SSL_CTX_new(TLS_server_method()));
        if (!FCtx) OpenSSLFailed("SSL_CTX_new");
        SSL_CTX_set_min_proto_version(FCtx.get(), TLS1_2_VERSION);
        if (SSL_CTX_use_certificate(FCtx.get(), FCert.get()) != 1 || SSL_CTX_use_PrivateKey(FCtx.get(), FKey.get()) != 1)
            OpenSSLFailed("server certificate");
        // Whole socket reads rather than one per record header and body.
        SSL_CTX_set_read_ahead(FCtx.get(), 1);
        SSL_CTX_set_default_read_buffer_len(FCtx.get(), 1 << 18);
    }
    ~TTlsFiles() {
        std::error_code ec;
        std::filesystem::remove_all(FDir, ec);
    }
    TTlsFiles(const TTlsFiles&) = delete;
    TTlsFiles& operator=(const TTlsFiles&) = delete;

    const std::string& CAFile() const { return FCAFile; }
    SSL_CTX* ServerContext() const { return FCtx.get(); }

private:
    std::string FDir;
    std::string FCAFile;
    TKey FKey;
    TCert FCert;
    TCtx FCtx;
};

// Finds the end of a message after DATA, CR LF "." CR LF, in a stream that
// comes in pieces, keeping only the last four bytes. The stream counts as
// starting with the CR LF that ended the DATA command, so that an empty message
// ends at once.
class TDataEnd {
public:
    void Start() {
        FTail = "\r\n";
        FSeen = 2;
    }
    // The offset in `piece` just past the end mark, or npos while it has not come.
    std::size_t Feed(std::string_view piece) {
        constexpr std::string_view mark = "\r\n.\r\n";
        std::string across = FTail; // a mark that starts in the tail
        across.append(piece.substr(0, mark.size() - 1));
        long long start;
        if (std::size_t at = across.find(mark); at != std::string::npos && at < FTail.size()) {
            start = FSeen - static_cast<long long>(FTail.size()) + static_cast<long long>(at);
        } else if (std::size_t in = piece.find(mark); in != std::string_view::npos) {
            start = FSeen + static_cast<long long>(in);
        } else {
            FSeen += static_cast<long long>(piece.size());
            FTail.append(piece.substr(piece.size() - std::min<std::size_t>(piece.size(), mark.size() - 1)));
            FTail.erase(0, FTail.size() - std::min<std::size_t>(FTail.size(), mark.size() - 1));
            return std::string_view::npos;
        }
        FSize = start; // the message ends with the mark's CR LF, less the CR LF in front
        return static_cast<std::size_t>(start + static_cast<long long>(mark.size()) - FSeen);
    }
    // The message's bytes, up to its final CR LF, once Feed found the end.
    long long Size() const { return FSize; }

private:
    std::string FTail;  // the last bytes of the stream, at most four
    long long FSeen = 0; // stream bytes before the next piece
    long long FSize = 0;
};

// A minimal SMTP sink: accepts any command, counts and discards the data. With
// TLS it offers STARTTLS and, once asked, reads the rest of the session through
// OpenSSL.
class TSink {
public:
    explicit TSink(const TTlsFiles* tls = nullptr) : FTls(tls) {
        FListener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (FListener < 0 || ::bind(FListener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(FListener, 4) != 0 ||
            ::getsockname(FListener, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
            if (FListener >= 0) ::close(FListener);
            throw std::runtime_error(std::string("sink: ") + std::strerror(errno));
        }
        Port = ntohs(a.sin_port);
        FThread = std::thread([this] { Serve(); });
    }
    ~TSink() {
        FStop = true;
        ::shutdown(FListener, SHUT_RDWR);
        ::close(FListener);
        FThread.join();
    }
    TSink(const TSink&) = delete;
    TSink& operator=(const TSink&) = delete;

    // Forgets the last message, before a run.
    void Reset() {
        DataBytes = 0;
        DataOverTls = false;
    }

    int Port = 0;
    // The message bytes of the last complete DATA (up to its final CR LF), and
    // whether that DATA came over TLS.
    std::atomic<long long> DataBytes{0};
    std::atomic<bool> DataOverTls{false};

private:
    void Serve() {
        while (!FStop) {
            int c = ::accept(FListener, nullptr, nullptr);
            if (c < 0) return;
            // A client that stops in the middle must not hold the sink for ever.
            timeval limit{60, 0};
            ::setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
            ::setsockopt(c, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
            Session(c);
            ::close(c);
        }
    }

    void Session(int c) {
        TSsl ssl;
        auto say = [&](const char* text) {
            if (ssl) SSL_write(ssl.get(), text, static_cast<int>(std::strlen(text)));
            else ::send(c, text, std::strlen(text), MSG_NOSIGNAL);
        };
        say("220 sink\r\n");
        std::vector<char> buffer(1 << 20);
        std::string pending; // command bytes not yet a whole line
        bool inData = false;
        TDataEnd end;
        for (;;) {
            const int n = ssl ? SSL_read(ssl.get(), buffer.data(), static_cast<int>(buffer.size()))
                              : static_cast<int>(::recv(c, buffer.data(), buffer.size(), 0));
            if (n <= 0) return;
            std::string_view got(buffer.data(), static_cast<std::size_t>(n));
            std::string rest; // what followed a DATA command in the same read
            while (!got.empty()) {
                if (inData) {
                    // The message itself is only scanned, never copied.
                    const std::size_t after = end.Feed(got);
                    if (after == std::string_view::npos) break;
                    inData = false;
                    DataBytes = end.Size();
                    DataOverTls = static_cast<bool>(ssl);
                    say("250 queued\r\n");
                    got.remove_prefix(after);
                    continue;
                }
                pending.append(got);
                got = {};
                for (std::size_t lf; !inData && (lf = pending.find('\n')) != std::string::npos;) {
                    const std::string line = pending.substr(0, lf);
                    pending.erase(0, lf + 1);
                    if (line.rfind("EHLO", 0) == 0) {
                        say(FTls && !ssl ? "250-sink\r\n250-8BITMIME\r\n250 STARTTLS\r\n" : "250-sink\r\n250 8BITMIME\r\n");
                    } else if (line.rfind("STARTTLS", 0) == 0 && FTls && !ssl) {
                        say("220 go ahead\r\n");
                        pending.clear(); // nothing sent before the handshake counts after it
                        ssl.reset(SSL_new(FTls->ServerContext()));
                        if (!ssl || SSL_set_fd(ssl.get(), c) != 1 || SSL_accept(ssl.get()) != 1) {
                            ERR_clear_error();
                            return;
                        }
                    } else if (line.rfind("DATA", 0) == 0) {
                        say("354 go\r\n");
                        inData = true;
                        end.Start();
                        rest.swap(pending);
                        got = rest;
                    } else if (line.rfind("QUIT", 0) == 0) {
                        say("221 bye\r\n");
                        if (ssl) SSL_shutdown(ssl.get());
                        return;
                    } else {
                        say("250 ok\r\n");
                    }
                }
            }
        }
    }

    const TTlsFiles* FTls;
    int FListener = -1;
    std::atomic<bool> FStop{false};
    std::thread FThread;
};

// This process's resident memory from /proc/self/status ("VmRSS", "VmHWM"), KiB.
long StatusKiB(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string key = std::string(field) + ":";
    while (std::getline(status, line))
        if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + key.size());
    return -1;
}

// Starts a new peak of resident memory for this process; false when the kernel
// does not allow it (the peak then counts from the start of the process).
bool ResetPeak() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.flush();
    return static_cast<bool>(clear);
}

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

struct TRun {
    std::string Error; // empty: the client reported success
    double Seconds = 0;
    long long Bytes = 0;  // what the sink received
    bool OverTls = false; // how the sink received it
    double PeakMiB = 0;
    double BeforeMiB = -1; // ours: resident before the run
    bool PeakSinceStart = false; // ours: the peak could not be started anew
};

// One send through TIdSMTP, of the message the mail step builds. `now` is the
// same for every run, so that every run sends the same bytes.
TRun RunOurs(TSink& sink, const std::string& path, const TTlsFiles* tls, TTimePoint now) {
    TRun run;
    sink.Reset();
    run.PeakSinceStart = !ResetPeak();
    run.BeforeMiB = StatusKiB("VmRSS") / 1024.0;
    auto start = std::chrono::steady_clock::now();
    try {
        TIdSMTP smtp;
        smtp.Host = "127.0.0.1";
        smtp.Port = sink.Port;
        smtp.SetReadTimeoutMs(60000);
        smtp.Security = tls ? ssStartTLS : ssNone;
        smtp.VerifyCertificate = true;
        if (tls) smtp.CAFile = tls->CAFile();
        TTaskRecord task;
        task.ToMailAddr = "sink@example.com";
        task.MailTopic = "bench";
        task.BakDBName = "bench";
        TIdEMailAddressItem sender;
        sender.Address = "bench@example.com";
        TIdMessage message = MakeArchiveMessage(task, sender, path, ToLocal(now));
        message.Date = now;
        smtp.Connect();
        smtp.Send(message);
        smtp.Disconnect();
    } catch (const EIdException& e) {
        run.Error = e.Message;
    } catch (const std::exception& e) {
        run.Error = e.what();
    }
    run.Seconds = Seconds(start);
    run.Bytes = sink.DataBytes;
    run.OverTls = sink.DataOverTls;
    run.PeakMiB = StatusKiB("VmHWM") / 1024.0;
    return run;
}

TRun RunCurl(TSink& sink, const std::string& path, const TTlsFiles* tls) {
    TRun run;
    sink.Reset();
    const std::string url = "smtp://127.0.0.1:" + std::to_string(sink.Port);
    const std::string part = "=@" + path + ";type=application/octet-stream;encoder=base64";
    std::vector<std::string> args = {"curl", "-s", "-S", "--max-time", "600", url, "--mail-from", "bench@example.com",
                                     "--mail-rcpt", "sink@example.com", "-F", part, "-H", "Subject: bench"};
    if (tls) args.insert(args.end(), {"--ssl-reqd", "--cacert", tls->CAFile()});
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    auto start = std::chrono::steady_clock::now();
    pid_t child = ::fork();
    if (child < 0) {
        run.Error = std::string("fork: ") + std::strerror(errno);
        return run;
    }
    if (child == 0) {
        std::signal(SIGPIPE, SIG_DFL); // an ignored signal would stay ignored in curl
        ::execvp("curl", argv.data());
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    ::wait4(child, &status, 0, &usage);
    run.Seconds = Seconds(start);
    run.Bytes = sink.DataBytes;
    run.OverTls = sink.DataOverTls;
    run.PeakMiB = usage.ru_maxrss / 1024.0;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        run.Error = WIFEXITED(status) ? "curl exit status " + std::to_string(WEXITSTATUS(status)) : "curl killed by a signal";
    return run;
}

// The rounds of one client and mode: the fastest time, the highest peak, and
// the first thing that went wrong.
struct TSeries {
    TSeries(std::string name, bool ours, bool tls) : Name(std::move(name)), Ours(ours), Tls(tls) {}
    std::string Name;
    bool Ours;
    bool Tls;
    std::vector<TRun> Runs;
    std::string Problem;

    void Add(const TRun& run, long long least) {
        if (Problem.empty()) {
            const std::string round = " (round " + std::to_string(Runs.size() + 1) + ")";
            if (!run.Error.empty()) Problem = "failed: " + run.Error + round;
            else if (run.Bytes < least)
                Problem = "the sink received " + std::to_string(run.Bytes) + " bytes, fewer than the attachment's " +
                          std::to_string(least) + round;
            else if (run.OverTls != Tls) Problem = std::string("the message came ") + (run.OverTls ? "over TLS" : "in plain text") + round;
            else if (!Runs.empty() && run.Bytes != Runs.front().Bytes)
                Problem = "the sink received " + std::to_string(run.Bytes) + " bytes, in round 1 " + std::to_string(Runs.front().Bytes) + round;
        }
        Runs.push_back(run);
    }
    double Best() const {
        double best = Runs.front().Seconds;
        for (const TRun& r : Runs) best = std::min(best, r.Seconds);
        return best;
    }
    // The round whose memory grew most while sending (curl: the highest peak).
    const TRun& Highest() const {
        const TRun* top = &Runs.front();
        for (const TRun& r : Runs)
            if (r.PeakMiB - std::max(r.BeforeMiB, 0.0) > top->PeakMiB - std::max(top->BeforeMiB, 0.0)) top = &r;
        return *top;
    }
};

void MakeAttachment(const std::string& path, long long size) {
    std::ofstream out(path, std::ios::binary);
    std::vector<unsigned char> block(1 << 20);
    unsigned long long x = 88172645463325252ULL;
    for (long long done = 0; done < size; done += static_cast<long long>(block.size())) {
        for (auto& b : block) {
            x ^= x << 13, x ^= x >> 7, x ^= x << 17;
            b = static_cast<unsigned char>(x);
        }
        out.write(reinterpret_cast<const char*>(block.data()),
                  static_cast<std::streamsize>(std::min<long long>(size - done, static_cast<long long>(block.size()))));
    }
    out.close();
    if (!out) throw std::runtime_error("cannot write " + path);
}

// The temporary attachment, removed however the benchmark ends.
struct TTempFile {
    std::string Path;
    ~TTempFile() {
        std::error_code ec;
        std::filesystem::remove(Path, ec);
    }
};

int Bench(long long mib, int rounds) {
    const long long size = mib * 1024 * 1024;
    TTempFile file{(std::filesystem::temp_directory_path() / ("quorvel-bench-" + std::to_string(::getpid()) + ".rar")).string()};
    RemoveOnSignal(file.Path);
    MakeAttachment(file.Path, size);
    TTlsFiles tls;
    TSink sink(&tls); // offers STARTTLS; the plain runs do not take it
    const TTimePoint now = SystemClock().Now();
    const long long least = static_cast<long long>(Base64LinesSize(static_cast<std::uint64_t>(size)));

    std::vector<TSeries> series = {{"quorvel", true, false}, {"curl", false, false}, {"quorvel TLS", true, true}, {"curl TLS", false, true}};
    // Rounds go through all four in turn, so that a slow spell of the machine
    // falls on each of them alike.
    for (int round = 0; round < rounds; ++round)
        for (TSeries& s : series)
            s.Add(s.Ours ? RunOurs(sink, file.Path, s.Tls ? &tls : nullptr, now) : RunCurl(sink, file.Path, s.Tls ? &tls : nullptr), least);

    std::printf("attachment: %lld MiB (%lld bytes as base64 lines); fastest of %d round%s\n", mib, least, rounds,
                rounds == 1 ? "" : "s");
    std::printf("%-12s %10s %10s %14s %16s\n", "client", "seconds", "MiB/s", "data bytes", "peak RSS (MiB)");
    bool sound = true;
    for (const TSeries& s : series) {
        if (!s.Problem.empty()) {
            std::printf("%-12s %s\n", s.Name.c_str(), s.Problem.c_str());
            sound = false;
            continue;
        }
        const double best = s.Best();
        std::printf("%-12s %10.2f %10.1f %14lld %16.1f", s.Name.c_str(), best, mib / best, s.Runs.front().Bytes, s.Highest().PeakMiB);
        if (s.Ours) {
            const TRun& top = s.Highest();
            std::printf("   (resident before sending: %.1f%s)", top.BeforeMiB, top.PeakSinceStart ? "; peak since start" : "");
        }
        std::printf("\n");
    }
    // The same client sends the same message both ways.
    for (int plain : {0, 1}) {
        const TSeries& a = series[static_cast<std::size_t>(plain)];
        const TSeries& b = series[static_cast<std::size_t>(plain) + 2];
        if (a.Problem.empty() && b.Problem.empty() && a.Runs.front().Bytes != b.Runs.front().Bytes) {
            std::printf("check: %s sent %lld bytes, %s %lld\n", a.Name.c_str(), a.Runs.front().Bytes, b.Name.c_str(),
                        b.Runs.front().Bytes);
            sound = false;
        }
    }
    if (!sound) return 1;
    // Rates of the same attachment: the ratio of two rates is the inverse one of their times.
    std::printf("quorvel TLS / quorvel plain: %.2f   (aim: at least 0.7)\n", series[0].Best() / series[2].Best());
    std::printf("quorvel TLS / curl TLS:      %.2f   (aim: above 1)\n", series[3].Best() / series[2].Best());
    std::printf("quorvel plain / curl plain:  %.2f\n", series[1].Best() / series[0].Best());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const long long mib = argc > 1 ? std::atoll(argv[1]) : 256;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    if (argc > 3 || mib <= 0 || rounds <= 0) {
        std::fprintf(stderr, "usage: mail_throughput_bench [MiB] [rounds]   (whole numbers above 0; default 256 and 3)\n");
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN); // the sink's TLS writes go through plain write()
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) std::signal(signal, OnSignal);
    try {
        return Bench(mib, rounds);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "mail_throughput_bench: %s\n", e.what());
        return 1;
    }
}
