#pragma once
// Starts tests/peers/smtp_spool.py (aiosmtpd with AUTH LOGIN, TLS on request) on
// a free port of 127.0.0.1 for the life of the object, with a spool folder of its
// own, and reads back the messages it accepted and the commands it heard. Texts
// read back are UTF-8.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/PeerProcess.h"

struct TSmtpSpoolOptions {
    std::string User = "backup";
    std::string Password = "secret";
    bool RefuseLogin = false;
    std::vector<std::string> RefuseRecipients{};
    std::string Tls = "none"; // "starttls" (required before anything else) or "implicit"
    std::string CertFile{};
    std::string KeyFile{};
    std::string Mechanism = "LOGIN"; // the one login method offered
    long long SizeLimit = 0;         // the SIZE offered; 0: aiosmtpd's default
    int RefuseDataAfter = 0;         // messages after this many are refused (552); 0: none
};

struct TSpooledMessage {
    std::string From;       // the envelope sender
    std::string FromHeader; // the From field, decoded, UTF-8
    std::vector<std::string> Recipients;
    std::string Subject;
    std::string Body; // bytes of the text part
    std::string Attachment; // bytes
    std::string FileName;
    std::string Raw;
};

class TSmtpSpoolServer {
public:
    explicit TSmtpSpoolServer(const TSmtpSpoolOptions& options = {})
        : FSpool(MakeSpool()), FPeer("smtp_spool.py", Arguments(options, FSpool)) {}
    ~TSmtpSpoolServer() {
        FPeer.Stop();
        std::error_code ec;
        std::filesystem::remove_all(FSpool, ec);
    }
    TSmtpSpoolServer(const TSmtpSpoolServer&) = delete;
    TSmtpSpoolServer& operator=(const TSmtpSpoolServer&) = delete;

    int Port() const { return FPeer.Port; }

    // The messages accepted so far, in order. A message is complete on disk
    // before the server answers the end of its data.
    std::vector<TSpooledMessage> Messages() const {
        std::vector<TSpooledMessage> messages;
        for (int n = 1; std::filesystem::exists(Path(n, "from")); ++n) {
            TSpooledMessage m;
            m.From = Read(n, "from");
            m.FromHeader = Read(n, "header-from");
            std::istringstream rcpt(Read(n, "rcpt"));
            for (std::string line; std::getline(rcpt, line);) m.Recipients.push_back(line);
            m.Subject = Read(n, "subject");
            m.Body = Read(n, "body");
            m.Attachment = Read(n, "attachment");
            m.FileName = Read(n, "filename");
            m.Raw = Read(n, "eml");
            messages.push_back(std::move(m));
        }
        return messages;
    }

    // The commands of one connection as "VERB tls=0|1[ args]", read until the
    // server saw the connection end (at most `limitMs`).
    std::vector<std::string> CommandsUntilClosed(int limitMs = 15000) {
        std::vector<std::string> commands;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            std::string line = FPeer.ReadLine(static_cast<int>(left.count()));
            if (line.empty() || line == "CLOSED") break;
            if (line.rfind("CMD ", 0) == 0) commands.push_back(line.substr(4));
        }
        return commands;
    }

private:
    static std::string MakeSpool() {
        static int serial = 0;
        std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                    ("quorvel-spool-" + std::to_string(::getpid()) + "-" + std::to_string(++serial));
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        return dir.string();
    }
    static std::vector<std::string> Arguments(const TSmtpSpoolOptions& o, const std::string& spool) {
        std::vector<std::string> args{"--spool", spool, "--user", o.User, "--password", o.Password};
        if (o.RefuseLogin) args.push_back("--refuse-login");
        for (const std::string& r : o.RefuseRecipients) args.insert(args.end(), {"--refuse-rcpt", r});
        if (o.Tls != "none") args.insert(args.end(), {"--tls", o.Tls, "--cert", o.CertFile, "--key", o.KeyFile});
        args.insert(args.end(), {"--mechanism", o.Mechanism});
        if (o.SizeLimit > 0) args.insert(args.end(), {"--size-limit", std::to_string(o.SizeLimit)});
        if (o.RefuseDataAfter > 0) args.insert(args.end(), {"--refuse-data-after", std::to_string(o.RefuseDataAfter)});
        return args;
    }
    std::string Path(int n, const char* suffix) const { return FSpool + "/" + std::to_string(n) + "." + suffix; }
    std::string Read(int n, const char* suffix) const {
        std::ifstream in(Path(n, suffix), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    std::string FSpool;
    mutable TPeerProcess FPeer;
};
