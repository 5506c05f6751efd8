// quorvelctl mail and quorvelctl config test-mail, run as administrators run
// them, against aiosmtpd in plain text and with TLS.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/AnsiString.h"
#include "settings/StringCipher.h"
#include "tests/peers/SmtpSpoolServer.h"
#include "tests/peers/TestCertificates.h"
#include "tests/support/ShellRun.h"

namespace {

struct TRun {
    int Status;
    std::string Output; // stdout and stderr
};

// A file of the test program's own in the temporary folder, removed with the object.
class TScratchFile {
public:
    TScratchFile(const std::string& name, const std::string& content)
        : FPath((std::filesystem::temp_directory_path() / ("ctlmail-" + std::to_string(::getpid()) + "-" + name)).string()) {
        std::ofstream(FPath, std::ios::binary | std::ios::trunc) << content;
    }
    ~TScratchFile() { std::filesystem::remove(FPath); }
    TScratchFile(const TScratchFile&) = delete;
    TScratchFile& operator=(const TScratchFile&) = delete;
    const std::string& Path() const { return FPath; }
    std::string Quoted() const { return "'" + FPath + "'"; }

private:
    std::string FPath;
};

// quorvelctl with `arguments` (shell-quoted), `input` on its standard input.
TRun Quorvelctl(const std::string& arguments, const std::string& input = "secret\n") {
    TScratchFile in("stdin", input);
    TShellRun run = RunShell(std::string("timeout 60 ") + QUORVEL_BINARY_DIR + "/app/quorvelctl/quorvelctl " + arguments +
                             " <" + in.Quoted() + " 2>&1");
    return {run.Status, run.Out};
}

TRun QuorvelctlMail(const std::string& arguments, const std::string& input = "secret\n") {
    return Quorvelctl("mail " + arguments, input);
}

TEST(CtlMailTest, SendsTheBackupMailShape) {
    TSmtpSpoolServer server({"backup", "secret", false, {}});
    std::string path = (std::filesystem::temp_directory_path() / ("ctlmail-" + std::to_string(::getpid()) + ".rar")).string();
    std::ofstream(path, std::ios::binary) << std::string("Rar!\x1a\x07\x00\xff", 8);
    TRun run = QuorvelctlMail("--server 127.0.0.1 --port " + std::to_string(server.Port()) +
                          " --user backup --password-file - --from backup@example.com"
                          " --to '张三 <zhang@example.com>, li@example.com' --cc cc@example.com"
                          " --subject '备份测试 check' --body '第一行' --body '.second' --attach '" + path + "'");
    std::filesystem::remove(path);
    EXPECT_EQ(run.Status, 0) << run.Output;
    auto messages = server.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].Subject, "备份测试 check");
    EXPECT_EQ(messages[0].Recipients, (std::vector<std::string>{"zhang@example.com", "li@example.com", "cc@example.com"}));
    EXPECT_EQ(messages[0].Attachment, std::string("Rar!\x1a\x07\x00\xff", 8));
    EXPECT_NE(messages[0].Raw.find("charset=\"gb2312\""), std::string::npos);
    EXPECT_NE(messages[0].Body.find("\xB5\xDA\xD2\xBB\xD0\xD0\r\n.second"), std::string::npos); // 第一行 in CP936
}

// A sender with a display name: only the address goes into the envelope.
TEST(CtlMailTest, SenderWithADisplayName) {
    TSmtpSpoolServer server({"backup", "secret", false, {}});
    TRun run = QuorvelctlMail("--server 127.0.0.1 --port " + std::to_string(server.Port()) +
                          " --user backup --password-file - --from '客服中心 <backup@example.com>' --to ops@example.com");
    EXPECT_EQ(run.Status, 0) << run.Output;
    auto messages = server.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].From, "backup@example.com");
    EXPECT_EQ(messages[0].FromHeader, "客服中心 <backup@example.com>");
}

// Without --body the text is the mail step's: the databases, then the time;
// the subject's macros are replaced as the mail step replaces them.
TEST(CtlMailTest, WithoutBodyLinesSendsTheBackupText) {
    TSmtpSpoolServer server({"backup", "secret", false, {}});
    const std::string path =
        (std::filesystem::temp_directory_path() / ("ctlmail-" + std::to_string(::getpid()) + "-2.rar")).string();
    std::ofstream(path, std::ios::binary) << "x";
    TRun run = QuorvelctlMail("--server 127.0.0.1 --port " + std::to_string(server.Port()) +
                          " --user backup --password-file - --from backup@example.com --to ops@example.com"
                          " --databases 'pubs,销售' --subject 'got <FILE>' --attach '" + path + "'");
    std::filesystem::remove(path);
    EXPECT_EQ(run.Status, 0) << run.Output;
    auto messages = server.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].Subject, "got " + std::filesystem::path(path).filename().string());
    // 自动备份数据库：pubs,销售 and 备份时间： in CP936
    EXPECT_NE(messages[0].Body.find(Utf8ToAnsi("自动备份数据库：pubs,销售\r\n备份时间：")), std::string::npos);
}

struct TFailCase {
    const char* Name;
    std::string Arguments; // %PORT% is the server's port
    int Status;
    std::string Output;    // expected in the output
    std::string Input = "secret\n"; // standard input
};

class CtlMailFailureTest : public testing::TestWithParam<TFailCase> {};

TEST_P(CtlMailFailureTest, ExitsWithTheErrorText) {
    TSmtpSpoolServer server({"backup", "secret", false, {}});
    std::string arguments = GetParam().Arguments;
    auto at = arguments.find("%PORT%");
    if (at != std::string::npos) arguments.replace(at, 6, std::to_string(server.Port()));
    TRun run = QuorvelctlMail(arguments, GetParam().Input);
    EXPECT_EQ(run.Status, GetParam().Status);
    EXPECT_NE(run.Output.find(GetParam().Output), std::string::npos) << run.Output;
    EXPECT_TRUE(server.Messages().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CtlMailFailureTest,
    testing::Values(
        TFailCase{"WrongPassword", "--server 127.0.0.1 --port %PORT% --user backup --password-file - --from a@b --to c@d", 1,
                  "quorvelctl: 5.7.8 Authentication credentials invalid", "nope\n"},
        // Only the first line is the password.
        TFailCase{"PasswordIsTheFirstLineOnly", "--server 127.0.0.1 --port %PORT% --user backup --password-file - --from a@b --to c@d",
                  1, "quorvelctl: 5.7.8 Authentication credentials invalid", "secretx\nsecret\n"},
        TFailCase{"PasswordOnTheCommandLineIsRefused",
                  "--server 127.0.0.1 --port %PORT% --user backup --password secret --from a@b --to c@d", 2,
                  "mail: --password is refused, as the process list shows it to every user; use --password-file FILE"},
        TFailCase{"MissingPasswordFile",
                  "--server 127.0.0.1 --port %PORT% --user backup --password-file /nonexistent/pw --from a@b --to c@d", 1,
                  "quorvelctl: Cannot open file \"/nonexistent/pw\". No such file or directory"},
        TFailCase{"PasswordFileWithoutUser", "--server 127.0.0.1 --port %PORT% --password-file - --from a@b --to c@d", 2,
                  "--password-file needs --user"},
        TFailCase{"UnknownSecurity", "--server 127.0.0.1 --port %PORT% --security ssl --from a@b --to c@d", 2,
                  "mail: --security needs auto, starttls, tls or none"},
        TFailCase{"RefusedPort", "--server 127.0.0.1 --port 1 --from a@b --to c@d", 1,
                  "quorvelctl: Socket Error # 10061\r\nConnection refused."},
        TFailCase{"UnknownHost", "--server no-such-host.invalid --from a@b --to c@d", 1,
                  "quorvelctl: Socket Error # 11001\r\nHost not found."},
        TFailCase{"MissingAttachment",
                  "--server 127.0.0.1 --port %PORT% --user backup --password-file - --from a@b --to c@d --attach /nonexistent/x.rar",
                  1, "/nonexistent/x.rar"},
        TFailCase{"SenderWithoutAddress", "--server 127.0.0.1 --port %PORT% --from 'Backup <>' --to c@d", 1,
                  "Sender \"Backup <>\" is neither an address nor a name followed by <address>"},
        TFailCase{"LineBreakInCc", "--server 127.0.0.1 --port %PORT% --from a@b --to c@d --cc \"$(printf 'b@example.com\\r\\nRSET')\"", 1,
                  "Address holds a line break or NUL byte: \"b@example.com\\r\\nRSET\""},
        TFailCase{"NoRecipients", "--server 127.0.0.1 --from a@b", 2, "--to is required"},
        TFailCase{"BadPort", "--server 127.0.0.1 --port 70000 --from a@b --to c@d", 2, "--port needs a number"}),
    [](const auto& test) { return std::string(test.param.Name); });

// ---- over TLS, and the test mail from a settings file

TSmtpSpoolOptions PeerOptions(const std::string& tls, const std::string& cert = "localhost") {
    const TTestCertificates& certs = TTestCertificates::Get();
    TSmtpSpoolOptions o;
    o.Tls = tls;
    o.CertFile = certs.Cert(cert);
    o.KeyFile = certs.Key(cert);
    return o;
}

// The AUTH commands the peer heard, as "AUTH tls=<0|1> <mechanism>".
std::vector<std::string> AuthCommands(TSmtpSpoolServer& server) {
    std::vector<std::string> auth;
    for (const std::string& c : server.CommandsUntilClosed())
        if (c.rfind("AUTH ", 0) == 0) auth.push_back(c);
    return auth;
}

std::string Replaced(std::string text, const std::string& placeholder, const std::string& value) {
    for (auto at = text.find(placeholder); at != std::string::npos; at = text.find(placeholder, at + value.size()))
        text.replace(at, placeholder.size(), value);
    return text;
}

struct TTlsCase {
    const char* Name;
    std::string PeerTls;   // none, starttls, implicit
    std::string PeerCert;  // localhost or wrongname
    std::string Arguments; // after the server, port, login and addresses; %CA% is the test CA's file
    // expected
    int Status = 0;
    std::string Output = {}; // expected in the output
    std::vector<std::string> Auth = {};
    bool Warns = false; // the plain-text warning
};
void PrintTo(const TTlsCase& c, std::ostream* os) { *os << c.Name; }

class CtlMailTlsTest : public testing::TestWithParam<TTlsCase> {};

TEST_P(CtlMailTlsTest, SecurityChoiceAndCertificates) {
    const TTlsCase& c = GetParam();
    TSmtpSpoolServer server(PeerOptions(c.PeerTls, c.PeerCert));
    const TScratchFile password("pw", "secret\n");
    const TRun run = QuorvelctlMail("--server localhost --port " + std::to_string(server.Port()) + " --user backup --password-file " +
                                        password.Quoted() + " --from backup@example.com --to ops@example.com " +
                                        Replaced(c.Arguments, "%CA%", TTestCertificates::Get().CA()),
                                    "");
    EXPECT_EQ(run.Status, c.Status) << run.Output;
    EXPECT_NE(run.Output.find(c.Output), std::string::npos) << run.Output;
    EXPECT_EQ(server.Messages().size(), c.Status == 0 ? 1u : 0u);
    EXPECT_EQ(AuthCommands(server), c.Auth);
    EXPECT_EQ(run.Output.find("警告") != std::string::npos, c.Warns) << run.Output;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CtlMailTlsTest,
    testing::Values(
        TTlsCase{"AutoTakesStartTLSWithTheExtraCA", "starttls", "localhost", "--ca-file %CA%", 0, "Message accepted by localhost",
                 {"AUTH tls=1 LOGIN"}},
        TTlsCase{"StartTLSRequired", "starttls", "localhost", "--security starttls --ca-file %CA%", 0, "Message accepted",
                 {"AUTH tls=1 LOGIN"}},
        TTlsCase{"ImplicitTLS", "implicit", "localhost", "--security tls --ca-file %CA%", 0, "Message accepted", {"AUTH tls=1 LOGIN"}},
        TTlsCase{"AutoWarnsWhenItStaysPlain", "none", "localhost", "", 0, "quorvelctl: 警告：邮件服务器不支持加密连接",
                 {"AUTH tls=0 LOGIN"}, true},
        TTlsCase{"NoneStaysPlainWithoutWarning", "none", "localhost", "--security none", 0, "Message accepted", {"AUTH tls=0 LOGIN"}},
        TTlsCase{"StartTLSRequiredButNotOfferedSendsNoPassword", "none", "localhost", "--security starttls", 1,
                 "quorvelctl: The mail server does not offer STARTTLS"},
        TTlsCase{"UnknownCAIsRefused", "starttls", "localhost", "", 1,
                 "quorvelctl: TLS handshake failed: certificate verify failed (unable to get local issuer certificate)"},
        TTlsCase{"WrongHostNameIsRefused", "starttls", "wrongname", "--ca-file %CA%", 1,
                 "quorvelctl: TLS handshake failed: host name mismatch (certificate is for mail.example.org)"},
        TTlsCase{"NoVerifyAcceptsAnyCertificate", "starttls", "wrongname", "--no-verify", 0, "Message accepted", {"AUTH tls=1 LOGIN"}},
        TTlsCase{"MissingCAFile", "starttls", "localhost", "--ca-file /nonexistent/ca.pem", 1, "/nonexistent/ca.pem"}),
    [](const auto& test) { return std::string(test.param.Name); });

struct TTestMailCase {
    const char* Name;
    std::string PeerTls;
    std::string Option;      // lines of section Option after server, port, sender and login; %CA% as above
    std::string Arguments;   // after the file
    std::string Password = "secret";
    // expected
    int Status = 0;
    std::string Output = {};
    std::string Recipient = "backup@example.com";
    std::string Server = "localhost";
};
void PrintTo(const TTestMailCase& c, std::ostream* os) { *os << c.Name; }

class CtlTestMailTest : public testing::TestWithParam<TTestMailCase> {};

TEST_P(CtlTestMailTest, SendsWithTheFilesSettings) {
    const TTestMailCase& c = GetParam();
    TSmtpSpoolServer server(PeerOptions(c.PeerTls));
    const TScratchFile config("config.ini", Utf8ToAnsi("[Option]\nSmtpServer=" + c.Server + "\nSmtpPort=" + std::to_string(server.Port()) +
                                                       "\nSmtpName=客服中心 <backup@example.com>\nSmtpUser=backup\nSmtpPass=") +
                                                CipherText(c.Password, SmtpPasswordKey, true) + "\n" +
                                                Replaced(c.Option, "%CA%", TTestCertificates::Get().CA()));
    const TRun run = Quorvelctl("config test-mail " + config.Quoted() + " " + c.Arguments);
    EXPECT_EQ(run.Status, c.Status) << run.Output;
    EXPECT_NE(run.Output.find(c.Output), std::string::npos) << run.Output;
    const std::vector<TSpooledMessage> messages = server.Messages();
    if (c.Status != 0) {
        EXPECT_TRUE(messages.empty());
        return;
    }
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].Subject, "Quorvel 测试邮件");
    EXPECT_EQ(messages[0].Recipients, std::vector<std::string>{c.Recipient});
    EXPECT_EQ(messages[0].From, "backup@example.com");
    EXPECT_EQ(AnsiToUtf8Lenient(messages[0].Body), "这是一封测试邮件。\r\n");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CtlTestMailTest,
    testing::Values(
        TTestMailCase{"StartTLSToTheSender", "starttls", "SmtpCAFile=%CA%\n", "", "secret", 0, "测试邮件已发送到 backup@example.com\n"},
        TTestMailCase{"ToAnotherAddress", "starttls", "SmtpSecurity=starttls\nSmtpCAFile=%CA%\n", "--to ops@example.com", "secret", 0,
                      "测试邮件已发送到 ops@example.com\n", "ops@example.com"},
        TTestMailCase{"ChecksOffInTheFile", "starttls", "SmtpVerify=0\n", "", "secret", 0, "测试邮件已发送到"},
        TTestMailCase{"PlainWithTheWarning", "none", "", "", "secret", 0, "quorvelctl: 警告：邮件服务器不支持加密连接"},
        TTestMailCase{"UnknownCA", "starttls", "", "", "secret", 1,
                      "quorvelctl: TLS handshake failed: certificate verify failed (unable to get local issuer certificate)"},
        TTestMailCase{"WrongPassword", "none", "", "", "wrong", 1, "quorvelctl: 5.7.8 Authentication credentials invalid"},
        TTestMailCase{"UnknownSecurity", "none", "SmtpSecurity=ssl\n", "", "secret", 1,
                      "quorvelctl: SmtpSecurity \"ssl\" is not one of auto, starttls, tls, none"},
        TTestMailCase{"NoServer", "none", "", "", "secret", 1,
                      "quorvelctl: No mail server to send the test mail to: the server address is empty", "", ""},
        TTestMailCase{"ToWithoutAddress", "none", "", "--to", "secret", 2, "config test-mail: wrong arguments"},
        TTestMailCase{"UnknownOption", "none", "", "--cc x@example.com", "secret", 2, "config test-mail: wrong arguments"}),
    [](const auto& test) { return std::string(test.param.Name); });

TEST(CtlTestMailFileTest, MissingFileIsAnErrorNotDefaults) {
    const TRun run = Quorvelctl("config test-mail /nonexistent/config.ini");
    EXPECT_EQ(run.Status, 1);
    EXPECT_NE(run.Output.find("quorvelctl: Cannot open file \"/nonexistent/config.ini\". No such file or directory"), std::string::npos)
        << run.Output;
}

} // namespace
