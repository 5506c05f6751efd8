// Mail over TLS against aiosmtpd with STARTTLS and with implicit TLS, using
// certificates this test program makes: which security choice leads where,
// which certificates are refused and with what message, where the login goes,
// and the server's size limit.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "ScriptedPeer.h"
#include "mail/IdIOHandlerTLS.h"
#include "mail/IdMessage.h"
#include "mail/IdSMTP.h"
#include "pipeline/ArchiveMessage.h"
#include "tests/peers/SmtpSpoolServer.h"
#include "tests/peers/TestCertificates.h"

namespace {

class TTempFile {
public:
    TTempFile(const std::string& name, std::size_t size)
        : FPath((std::filesystem::temp_directory_path() / (std::to_string(::getpid()) + "-tls-" + name)).string()) {
        std::string bytes(size, '\0');
        for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + 1) & 0xFF);
        std::ofstream(FPath, std::ios::binary) << bytes;
    }
    ~TTempFile() { std::filesystem::remove(FPath); }
    TTempFile(const TTempFile&) = delete;
    TTempFile& operator=(const TTempFile&) = delete;
    const std::string& Path() const { return FPath; }

private:
    std::string FPath;
};

void FillMessage(TIdMessage& message, const std::string& attachment = {}) {
    TTaskRecord task;
    task.BakDBName = Utf8ToAnsi("销售");
    task.MailTopic = Utf8ToAnsi("备份完成");
    task.ToMailAddr = "ops@example.com";
    message = MakeArchiveMessage(task, ParseSender("backup@example.com"), attachment, ToLocal(SystemClock().Now()));
}

TSmtpSpoolOptions PeerOptions(const std::string& tls, const std::string& cert, const std::string& mechanism = "LOGIN") {
    const TTestCertificates& certs = TTestCertificates::Get();
    TSmtpSpoolOptions o;
    o.User = "backup";
    o.Password = "s3cret";
    o.Tls = tls;
    o.CertFile = certs.Cert(cert);
    o.KeyFile = certs.Key(cert);
    o.Mechanism = mechanism;
    return o;
}

// The AUTH commands the peer heard, as "AUTH tls=<0|1> <mechanism>".
std::vector<std::string> AuthCommands(const std::vector<std::string>& commands) {
    std::vector<std::string> auth;
    for (const std::string& c : commands)
        if (c.rfind("AUTH ", 0) == 0) auth.push_back(c);
    return auth;
}

struct TTlsCase {
    const char* Name;
    std::string PeerTls;  // none, starttls, implicit
    std::string PeerCert; // localhost or wrongname
    TSmtpSecurity Security;
    bool TrustTestCA = true;
    bool Verify = true;
    std::string Host = "localhost";
    std::string User = "backup";
    std::string Mechanism = "LOGIN";
    // expected
    std::string Error = {}; // the start of the error's message; empty: delivered
    bool Encrypted = true;
    std::vector<std::string> Auth = {}; // AUTH commands the peer heard
};
void PrintTo(const TTlsCase& c, std::ostream* os) { *os << c.Name; }

class SmtpTlsTest : public testing::TestWithParam<TTlsCase> {};

TEST_P(SmtpTlsTest, SecurityCertificatesAndLogin) {
    const TTlsCase& c = GetParam();
    TSmtpSpoolServer server(PeerOptions(c.PeerTls, c.PeerCert, c.Mechanism));
    std::string error;
    bool encrypted = false, plainByChoice = false;
    {
        TIdSMTP smtp;
        smtp.Host = c.Host;
        smtp.Port = server.Port();
        smtp.HeloName = "client.test";
        smtp.Username = c.User;
        smtp.Password = "s3cret";
        smtp.SetAuthenticationType(atLogin);
        smtp.SetReadTimeoutMs(10000);
        smtp.Security = c.Security;
        smtp.VerifyCertificate = c.Verify;
        if (c.TrustTestCA) smtp.CAFile = TTestCertificates::Get().CA();
        TIdMessage message;
        FillMessage(message);
        try {
            smtp.Connect();
            encrypted = smtp.Encrypted();
            plainByChoice = smtp.PlainTextByChoice();
            smtp.Send(message);
        } catch (const EIdException& e) {
            error = e.Message;
            EXPECT_FALSE(c.Error.empty()) << error;
        }
        smtp.Disconnect();
    }
    if (!c.Error.empty()) {
        EXPECT_EQ(error.substr(0, c.Error.size()), c.Error) << error;
        EXPECT_TRUE(server.Messages().empty());
    } else {
        EXPECT_EQ(encrypted, c.Encrypted);
        EXPECT_EQ(plainByChoice, !c.Encrypted && c.Security == ssAuto);
        ASSERT_EQ(server.Messages().size(), 1u);
        EXPECT_EQ(server.Messages()[0].Subject, "备份完成");
    }
    // A refused handshake may never reach the server's SMTP layer; only then is
    // there no command record to wait for.
    if (error.rfind("TLS handshake failed", 0) != 0 || c.PeerTls == "starttls") {
        EXPECT_EQ(AuthCommands(server.CommandsUntilClosed()), c.Auth);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SmtpTlsTest,
    testing::Values(
        TTlsCase{.Name = "AutoTakesOfferedStartTLSAndLogsInAfterIt", .PeerTls = "starttls", .PeerCert = "localhost", .Security = ssAuto, .Auth = {"AUTH tls=1 LOGIN"}},
        TTlsCase{.Name = "AutoStaysPlainWhenNotOffered", .PeerTls = "none", .PeerCert = "localhost", .Security = ssAuto, .Encrypted = false,
                 .Auth = {"AUTH tls=0 LOGIN"}},
        TTlsCase{.Name = "StartTLSRequiredButNotOfferedSendsNoLogin", .PeerTls = "none", .PeerCert = "localhost", .Security = ssStartTLS,
                 .Error = "The mail server does not offer STARTTLS"},
        TTlsCase{.Name = "StartTLSRequiredAndOffered", .PeerTls = "starttls", .PeerCert = "localhost", .Security = ssStartTLS, .Auth = {"AUTH tls=1 LOGIN"}},
        TTlsCase{.Name = "ImplicitTLS", .PeerTls = "implicit", .PeerCert = "localhost", .Security = ssImplicitTLS, .Auth = {"AUTH tls=1 LOGIN"}},
        TTlsCase{.Name = "NoneNeverStartsTLS", .PeerTls = "none", .PeerCert = "localhost", .Security = ssNone, .Encrypted = false, .Auth = {"AUTH tls=0 LOGIN"}},
        TTlsCase{.Name = "UnknownCAIsRefused", .PeerTls = "starttls", .PeerCert = "localhost", .Security = ssAuto, .TrustTestCA = false,
                 .Error = "TLS handshake failed: certificate verify failed (unable to get local issuer certificate)"},
        TTlsCase{.Name = "UnknownCAOnImplicitTLSIsRefused", .PeerTls = "implicit", .PeerCert = "localhost", .Security = ssImplicitTLS, .TrustTestCA = false,
                 .Error = "TLS handshake failed: certificate verify failed ("},
        TTlsCase{.Name = "WrongHostNameIsRefused", .PeerTls = "starttls", .PeerCert = "wrongname", .Security = ssAuto,
                 .Error = "TLS handshake failed: host name mismatch (certificate is for mail.example.org)"},
        TTlsCase{.Name = "IPAddressIsCheckedAsAnIP", .PeerTls = "starttls", .PeerCert = "localhost", .Security = ssStartTLS, .Host = "127.0.0.1",
                 .Auth = {"AUTH tls=1 LOGIN"}},
        TTlsCase{.Name = "IPAddressNotInTheCertificateIsRefused", .PeerTls = "starttls", .PeerCert = "wrongname", .Security = ssStartTLS, .Host = "127.0.0.1",
                 .Error = "TLS handshake failed: host name mismatch (certificate is for mail.example.org)"},
        TTlsCase{.Name = "ChecksOffAcceptsAnyCertificate", .PeerTls = "starttls", .PeerCert = "wrongname", .Security = ssAuto, .TrustTestCA = false,
                 .Verify = false, .Auth = {"AUTH tls=1 LOGIN"}},
        TTlsCase{.Name = "ImplicitTLSAgainstAPlainServerFails", .PeerTls = "none", .PeerCert = "localhost", .Security = ssImplicitTLS,
                 .Error = "TLS handshake failed: "},
        TTlsCase{.Name = "EmptyUserSendsNoAuth", .PeerTls = "starttls", .PeerCert = "localhost", .Security = ssAuto, .User = ""},
        TTlsCase{.Name = "PlainOnlyServerGetsAuthPlain", .PeerTls = "starttls", .PeerCert = "localhost", .Security = ssAuto, .Mechanism = "PLAIN",
                 .Auth = {"AUTH tls=1 PLAIN"}}),
    [](const auto& test) { return std::string(test.param.Name); });

// A server that goes silent in the middle of the handshake ends the attempt with
// a time-out error within the read time-out, whether TLS starts at once or after
// STARTTLS.
TEST(SmtpTlsTimeoutTest, SilentPeerDuringHandshakeTimesOut) {
    struct TCase {
        const char* Name;
        TSmtpSecurity Security;
        std::vector<TPeerStep> Server;
    };
    const std::vector<TCase> cases = {
        {"Implicit", ssImplicitTLS, {Hang(8000)}},
        {"StartTLS", ssStartTLS,
         {Say("220 test ESMTP\r\n"), Hear(), Say("250-test\r\n250 STARTTLS\r\n"), Hear(), Say("220 go ahead\r\n"),
          Hang(8000)}},
    };
    for (const TCase& c : cases) {
        TScriptedPeer peer(c.Server);
        TIdSMTP smtp;
        smtp.Host = "127.0.0.1";
        smtp.Port = peer.Port;
        smtp.HeloName = "client.test";
        smtp.Security = c.Security;
        smtp.SetReadTimeoutMs(1500);
        auto start = std::chrono::steady_clock::now();
        std::string error;
        try {
            smtp.Connect();
        } catch (const EIdException& e) {
            error = e.Message;
        }
        auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        EXPECT_EQ(error, "TLS handshake failed: Read Timeout") << c.Name;
        EXPECT_GE(elapsed.count(), 1400) << c.Name;
        EXPECT_LT(elapsed.count(), 6000) << c.Name;
        EXPECT_FALSE(smtp.Connected()) << c.Name;
    }
}

// Data that arrives together with the 220 to STARTTLS was sent before TLS began;
// taking it as a reply after the handshake would let plain text pose as protected.
TEST(SmtpTlsTest, DataAfterTheStartTLSAnswerIsRefused) {
    TScriptedPeer peer({Say("220 test ESMTP\r\n"), Hear(), Say("250-test\r\n250 STARTTLS\r\n"), Hear(),
                        Say("220 go ahead\r\n250-injected\r\n250 AUTH PLAIN\r\n")});
    TIdSMTP smtp;
    smtp.Host = "127.0.0.1";
    smtp.Port = peer.Port;
    smtp.HeloName = "client.test";
    smtp.SetReadTimeoutMs(5000);
    try {
        smtp.Connect();
        FAIL() << "no error";
    } catch (const EIdException& e) {
        EXPECT_EQ(e.Message, "TLS error: the server sent data after its STARTTLS answer");
    }
    smtp.Disconnect();
    const std::vector<std::string> heard = peer.Transcript();
    ASSERT_EQ(heard.size(), 3u);
    EXPECT_EQ(heard[1], "STARTTLS\r\n");
    EXPECT_EQ(heard[2], "QUIT\r\n");
}

// ---- the server's size limit

struct TSizeCase {
    const char* Name;
    std::string Tls;
    std::size_t Attachment;
    bool Delivered;
};
void PrintTo(const TSizeCase& c, std::ostream* os) { *os << c.Name; }

class SmtpSizeTest : public testing::TestWithParam<TSizeCase> {};

TEST_P(SmtpSizeTest, LimitIsCheckedBeforeTheMessageIsSent) {
    const TSizeCase& c = GetParam();
    TSmtpSpoolOptions options = PeerOptions(c.Tls, "localhost");
    options.SizeLimit = 1000000;
    TSmtpSpoolServer server(options);
    TTempFile attachment("size.bin", c.Attachment);
    TIdSMTP smtp;
    smtp.Host = "localhost";
    smtp.Port = server.Port();
    smtp.Username = "backup";
    smtp.Password = "s3cret";
    smtp.SetAuthenticationType(atLogin);
    smtp.SetReadTimeoutMs(10000);
    smtp.CAFile = TTestCertificates::Get().CA();
    TIdMessage message;
    FillMessage(message, attachment.Path());
    smtp.Connect();
    EXPECT_TRUE(smtp.SizeOffered);
    EXPECT_EQ(smtp.MaxMessageSize, 1000000u);
    std::string error;
    try {
        smtp.Send(message);
    } catch (const EIdMessageTooLarge& e) {
        error = AnsiToUtf8(e.Message);
    }
    smtp.Disconnect();
    const std::vector<std::string> commands = server.CommandsUntilClosed();
    std::vector<std::string> mailFrom;
    for (const std::string& command : commands)
        if (command.rfind("MAIL ", 0) == 0 || command.rfind("DATA ", 0) == 0) mailFrom.push_back(command);
    if (c.Delivered) {
        EXPECT_EQ(error, "");
        ASSERT_EQ(server.Messages().size(), 1u);
        const std::string raw = server.Messages()[0].Raw;
        ASSERT_EQ(mailFrom.size(), 2u);
        const std::string tls = c.Tls == "none" ? "tls=0" : "tls=1";
        EXPECT_EQ(mailFrom[0], "MAIL " + tls + " FROM:<backup@example.com> SIZE=" + std::to_string(raw.size()));
    } else {
        EXPECT_EQ(error, "邮件大小 1.2 MB 超过邮件服务器的限制 1.0 MB");
        EXPECT_TRUE(mailFrom.empty()) << "nothing of the message may be sent";
        EXPECT_TRUE(server.Messages().empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, SmtpSizeTest,
                         testing::Values(TSizeCase{"UnderTheLimit", "none", 200000, true},
                                         TSizeCase{"UnderTheLimitOverTLS", "starttls", 200000, true},
                                         TSizeCase{"OverTheLimit", "none", 950000, false},
                                         TSizeCase{"OverTheLimitOverTLS", "starttls", 950000, false}),
                         [](const auto& test) { return std::string(test.param.Name); });

TEST(SmtpExtensionsTest, KeywordsOfAnEhloReply) {
    struct TCase {
        std::vector<AnsiString> Lines;
        bool StartTLS;
        bool Size;
        std::uint64_t Limit;
    };
    const std::vector<TCase> cases = {
        {{"mail.test", "STARTTLS", "SIZE 35882577", "AUTH LOGIN PLAIN"}, true, true, 35882577},
        {{"mail.test", "starttls ", "size"}, true, true, 0},
        {{"STARTTLS"}, false, false, 0}, // the first line is the server's name
        {{"mail.test", "SIZE abc"}, false, true, 0},
        {{"mail.test", "SIZE 99999999999999999999999"}, false, true, 0},
        {{"mail.test", "SIZE -5"}, false, true, 0},
        {{"mail.test", "SIZEX 5", "STARTTLSX"}, false, false, 0},
        {{"mail.test", "SIZE\t5"}, false, false, 0},
    };
    for (const TCase& c : cases) {
        const TSmtpExtensions e = TIdSMTP::ParseExtensions(c.Lines);
        EXPECT_EQ(e.StartTLS, c.StartTLS) << c.Lines.back();
        EXPECT_EQ(e.Size, c.Size) << c.Lines.back();
        EXPECT_EQ(e.MaxMessageSize, c.Limit) << c.Lines.back();
    }
}

TEST(SmtpExtensionsTest, SecurityNames) {
    const std::vector<std::pair<const char*, TSmtpSecurity>> names = {
        {"auto", ssAuto}, {" STARTTLS ", ssStartTLS}, {"Tls", ssImplicitTLS}, {"none", ssNone}};
    for (const auto& [text, expected] : names) {
        TSmtpSecurity security = ssNone;
        EXPECT_TRUE(SmtpSecurityFromText(text, security)) << text;
        EXPECT_EQ(security, expected) << text;
    }
    for (const char* bad : {"", "ssl", "startls", "auto none"}) {
        TSmtpSecurity security = ssStartTLS;
        EXPECT_FALSE(SmtpSecurityFromText(bad, security)) << bad;
    }
}

} // namespace
