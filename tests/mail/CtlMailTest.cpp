// quorvelctl mail, run as administrators run it, against aiosmtpd.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>

#include "platform/AnsiString.h"
#include "tests/peers/SmtpSpoolServer.h"

namespace {

struct TRun {
    int Status;
    std::string Output; // stdout and stderr
};

TRun Quorvelctl(const std::string& arguments) {
    std::string command = std::string("timeout 60 ") + QUORVEL_BINARY_DIR + "/app/quorvelctl/quorvelctl mail " + arguments + " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    TRun run{-1, {}};
    if (!pipe) return run;
    char buffer[4096];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) run.Output.append(buffer, n);
    int status = ::pclose(pipe);
    run.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

TEST(CtlMailTest, SendsTheBackupMailShape) {
    TSmtpSpoolServer server({"backup", "secret", false, {}});
    std::string path = (std::filesystem::temp_directory_path() / ("ctlmail-" + std::to_string(::getpid()) + ".rar")).string();
    std::ofstream(path, std::ios::binary) << std::string("Rar!\x1a\x07\x00\xff", 8);
    TRun run = Quorvelctl("--server 127.0.0.1 --port " + std::to_string(server.Port()) +
                          " --user backup --password secret --from backup@example.com"
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
    TRun run = Quorvelctl("--server 127.0.0.1 --port " + std::to_string(server.Port()) +
                          " --user backup --password secret --from '客服中心 <backup@example.com>' --to ops@example.com");
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
    TRun run = Quorvelctl("--server 127.0.0.1 --port " + std::to_string(server.Port()) +
                          " --user backup --password secret --from backup@example.com --to ops@example.com"
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
};

class CtlMailFailureTest : public testing::TestWithParam<TFailCase> {};

TEST_P(CtlMailFailureTest, ExitsWithTheErrorText) {
    TSmtpSpoolServer server({"backup", "secret", false, {}});
    std::string arguments = GetParam().Arguments;
    auto at = arguments.find("%PORT%");
    if (at != std::string::npos) arguments.replace(at, 6, std::to_string(server.Port()));
    TRun run = Quorvelctl(arguments);
    EXPECT_EQ(run.Status, GetParam().Status);
    EXPECT_NE(run.Output.find(GetParam().Output), std::string::npos) << run.Output;
    EXPECT_TRUE(server.Messages().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CtlMailFailureTest,
    testing::Values(
        TFailCase{"WrongPassword", "--server 127.0.0.1 --port %PORT% --user backup --password nope --from a@b --to c@d", 1,
                  "quorvelctl: 5.7.8 Authentication credentials invalid"},
        TFailCase{"RefusedPort", "--server 127.0.0.1 --port 1 --from a@b --to c@d", 1,
                  "quorvelctl: Socket Error # 10061\r\nConnection refused."},
        TFailCase{"UnknownHost", "--server no-such-host.invalid --from a@b --to c@d", 1,
                  "quorvelctl: Socket Error # 11001\r\nHost not found."},
        TFailCase{"MissingAttachment",
                  "--server 127.0.0.1 --port %PORT% --user backup --password secret --from a@b --to c@d --attach /nonexistent/x.rar",
                  1, "/nonexistent/x.rar"},
        TFailCase{"SenderWithoutAddress", "--server 127.0.0.1 --port %PORT% --from 'Backup <>' --to c@d", 1,
                  "Sender \"Backup <>\" is neither an address nor a name followed by <address>"},
        TFailCase{"LineBreakInCc", "--server 127.0.0.1 --port %PORT% --from a@b --to c@d --cc \"$(printf 'b@example.com\\r\\nRSET')\"", 1,
                  "Address holds a line break or NUL byte: \"b@example.com\\r\\nRSET\""},
        TFailCase{"NoRecipients", "--server 127.0.0.1 --from a@b", 2, "--to is required"},
        TFailCase{"BadPort", "--server 127.0.0.1 --port 70000 --from a@b --to c@d", 2, "--port needs a number"}),
    [](const auto& info) { return std::string(info.param.Name); });

} // namespace
