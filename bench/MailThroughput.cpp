// Mail throughput: sends one large attachment through TIdSMTP to a local SMTP sink
// and then the same file with curl, and prints both rates and peak memories.
//   mail_throughput [MiB]    (default 256)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "mail/IdMessage.h"
#include "mail/IdSMTP.h"
#include "pipeline/ArchiveMessage.h"

namespace {

// A minimal SMTP sink: accepts any command, counts and discards the data.
class TSink {
public:
    TSink() {
        FListener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(FListener, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(FListener, 4);
        socklen_t len = sizeof a;
        ::getsockname(FListener, reinterpret_cast<sockaddr*>(&a), &len);
        Port = ntohs(a.sin_port);
        FThread = std::thread([this] { Serve(); });
    }
    ~TSink() {
        FStop = true;
        ::shutdown(FListener, SHUT_RDWR);
        ::close(FListener);
        FThread.join();
    }
    int Port = 0;
    std::atomic<long long> DataBytes{0};

private:
    void Serve() {
        while (!FStop) {
            int c = ::accept(FListener, nullptr, nullptr);
            if (c < 0) return;
            Session(c);
            ::close(c);
        }
    }
    static void Say(int c, const char* text) { ::send(c, text, std::strlen(text), MSG_NOSIGNAL); }
    void Session(int c) {
        Say(c, "220 sink\r\n");
        std::vector<char> buffer(1 << 20);
        std::string pending;
        bool inData = false;
        long long count = 0;
        for (;;) {
            ssize_t n = ::recv(c, buffer.data(), buffer.size(), 0);
            if (n <= 0) return;
            pending.append(buffer.data(), static_cast<std::size_t>(n));
            for (;;) {
                if (inData) {
                    auto end = pending.find("\r\n.\r\n");
                    if (end == std::string::npos) {
                        // keep only what could start the end mark
                        std::size_t keep = std::min<std::size_t>(pending.size(), 4);
                        count += static_cast<long long>(pending.size() - keep);
                        pending.erase(0, pending.size() - keep);
                        break;
                    }
                    count += static_cast<long long>(end + 2);
                    pending.erase(0, end + 5);
                    inData = false;
                    DataBytes = count;
                    Say(c, "250 queued\r\n");
                    continue;
                }
                auto lf = pending.find('\n');
                if (lf == std::string::npos) break;
                std::string line = pending.substr(0, lf);
                pending.erase(0, lf + 1);
                if (line.rfind("EHLO", 0) == 0) Say(c, "250-sink\r\n250 8BITMIME\r\n");
                else if (line.rfind("DATA", 0) == 0) {
                    Say(c, "354 go\r\n");
                    inData = true;
                    count = 0;
                    pending.insert(0, "\r\n"); // the end mark may follow at once
                } else if (line.rfind("QUIT", 0) == 0) {
                    Say(c, "221 bye\r\n");
                    return;
                } else Say(c, "250 ok\r\n");
            }
        }
    }
    int FListener = -1;
    std::atomic<bool> FStop{false};
    std::thread FThread;
};

long PeakKiB(int who) {
    rusage u{};
    ::getrusage(who, &u);
    return u.ru_maxrss;
}

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

} // namespace

int main(int argc, char** argv) {
    const long long mib = argc > 1 ? std::atoll(argv[1]) : 256;
    const long long size = mib * 1024 * 1024;
    std::string path = (std::filesystem::temp_directory_path() / ("quorvel-bench-" + std::to_string(::getpid()) + ".rar")).string();
    {
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
    }
    TSink sink;
    long before = PeakKiB(RUSAGE_SELF);

    auto start = std::chrono::steady_clock::now();
    {
        TIdSMTP smtp;
        smtp.Host = "127.0.0.1";
        smtp.Port = sink.Port;
        smtp.SetReadTimeoutMs(60000);
        TTaskRecord task;
        task.ToMailAddr = "sink@example.com";
        task.MailTopic = "bench";
        task.BakDBName = "bench";
        TIdEMailAddressItem sender;
        sender.Address = "bench@example.com";
        TIdMessage message = MakeArchiveMessage(task, sender, path, ToLocal(SystemClock().Now()));
        smtp.Connect();
        smtp.Send(message);
        smtp.Disconnect();
    }
    double ours = Seconds(start);
    long long oursBytes = sink.DataBytes;
    long oursPeak = PeakKiB(RUSAGE_SELF);

    start = std::chrono::steady_clock::now();
    pid_t child = ::fork();
    if (child == 0) {
        std::string url = "smtp://127.0.0.1:" + std::to_string(sink.Port);
        std::string part = "=@" + path + ";type=application/octet-stream;encoder=base64";
        ::execlp("curl", "curl", "-s", "-S", url.c_str(), "--mail-from", "bench@example.com", "--mail-rcpt",
                 "sink@example.com", "-F", part.c_str(), "-H", "Subject: bench", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    rusage curlUsage{};
    ::wait4(child, &status, 0, &curlUsage);
    double curls = Seconds(start);
    long long curlBytes = sink.DataBytes;
    std::filesystem::remove(path);

    std::printf("attachment: %lld MiB\n", mib);
    std::printf("%-10s %12s %12s %14s %16s\n", "client", "seconds", "MiB/s", "data bytes", "peak RSS (MiB)");
    std::printf("%-10s %12.2f %12.1f %14lld %16.1f   (process before sending: %.1f)\n", "quorvel", ours, mib / ours,
                oursBytes, oursPeak / 1024.0, before / 1024.0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        std::printf("%-10s %12.2f %12.1f %14lld %16.1f\n", "curl", curls, mib / curls, curlBytes,
                    curlUsage.ru_maxrss / 1024.0);
    else
        std::printf("curl failed (status %d)\n", WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    return 0;
}
