// The whole transport against a real SMTP server (aiosmtpd with AUTH LOGIN): the
// program's message shape goes out through TIdSMTP, and Python's email package
// reads back what the server received.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>

#include "mail/IdMessage.h"
#include "mail/IdSMTP.h"
#include "pipeline/ArchiveMessage.h"
#include "tests/peers/SmtpSpoolServer.h"

namespace {

struct TTempFile {
    explicit TTempFile(const std::string& name, const std::string& content)
        : Path((std::filesystem::temp_directory_path() / (std::to_string(::getpid()) + "-" + name)).string()) {
        std::ofstream(Path, std::ios::binary) << content;
    }
    ~TTempFile() { std::filesystem::remove(Path); }
    std::string Path;
};

// What the email package makes of the received message, one "KEY value" a line.
std::vector<std::string> Decode(const std::string& raw, const std::string& sourcePath) {
    TTempFile eml("received.eml", raw);
    std::string command = std::string(QUORVEL_PYTHON) + " " + QUORVEL_PEERS_DIR + "/decode_mail.py '" + eml.Path + "' '" +
                          sourcePath + "'";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
    std::vector<std::string> lines;
    char buffer[4096];
    while (pipe && std::fgets(buffer, sizeof buffer, pipe.get())) {
        std::string line(buffer);
        if (!line.empty() && line.back() == '\n') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

std::string EveryByteValue() {
    std::string bytes;
    for (int round = 0; round < 300; ++round)
        for (int b = 0; b < 256; ++b) bytes += static_cast<char>((b + round) & 0xFF);
    return bytes + "\r\n.\r\n\x00\xff"; // an odd length, and an SMTP end mark inside the data
}

class SmtpRoundTripTest : public testing::Test {
protected:
    TSmtpSpoolServer Server{{"backup", "s3cret", false, {}}};
    TIdSMTP Smtp;

    void SetUp() override {
        Smtp.Host = "127.0.0.1";
        Smtp.Port = Server.Port();
        Smtp.Username = "backup";
        Smtp.Password = "s3cret";
        Smtp.SetAuthenticationType(atLogin);
        Smtp.SetReadTimeoutMs(10000);
    }

    // The program's backup mail, as the mail step builds it.
    static TIdMessage Build(const std::string& subjectUtf8, const std::string& attachmentPath) {
        TTaskRecord task;
        task.BakDBName = Utf8ToAnsi("销售");
        task.MailTopic = Utf8ToAnsi(subjectUtf8);
        task.ToMailAddr = Utf8ToAnsi("张三丰 <zhang@example.com>, li@example.com");
        task.CcMailAddr = Utf8ToAnsi("财务部门经理 <cfo@example.com>");
        TIdMessage message =
            MakeArchiveMessage(task, ParseSender("backup@example.com"), attachmentPath, TLocalDateTime {2024, 1, 5, 13, 4, 5});
        // A line that starts with a dot shows whether the dot-stuffing survives
        // the server; the program's own lines never start with one.
        message.Body.back().insert(0, ".");
        return message;
    }
};

TEST_F(SmtpRoundTripTest, ChineseTextsAndEveryByteValueArriveIntact) {
    const std::string subjects[] = {
        "备份 20240105130405.rar 完成",
        // long enough for several encoded words, with a character on every word boundary
        "数据库自动备份报告：销售系统、财务系统、人事系统与仓库管理系统的备份文件已经生成并发送",
    };
    TTempFile attachment("20240105130405.rar", EveryByteValue());
    Smtp.Connect();
    for (const std::string& subject : subjects) {
        TIdMessage message = Build(subject, attachment.Path);
        Smtp.Send(message);
    }
    Smtp.Disconnect();

    auto messages = Server.Messages();
    ASSERT_EQ(messages.size(), 2u);
    for (std::size_t i = 0; i < messages.size(); ++i) {
        const TSpooledMessage& m = messages[i];
        EXPECT_EQ(m.From, "backup@example.com");
        EXPECT_EQ(m.Recipients, (std::vector<std::string>{"zhang@example.com", "li@example.com", "cfo@example.com"}));
        EXPECT_NE(m.Body.find(Utf8ToAnsi("自动备份数据库：销售")), std::string::npos);
        EXPECT_NE(m.Body.find(Utf8ToAnsi(".备份时间：")), std::string::npos) << "dot-stuffing undone by the server";
        std::vector<std::string> decoded = Decode(m.Raw, attachment.Path);
        std::string fileName = std::filesystem::path(attachment.Path).filename().string();
        EXPECT_EQ(decoded, (std::vector<std::string>{"SUBJECT " + subjects[i], "TO 张三丰|zhang@example.com",
                                                     "TO |li@example.com", "CC 财务部门经理|cfo@example.com",
                                                     "BODY 自动备份数据库：销售", "BODY .备份时间：2024-01-05 13:04:05",
                                                     "FILENAME " + fileName, "ATTACHMENT same", "DEFECTS 0"}));
    }
}

TEST_F(SmtpRoundTripTest, WrongPasswordIsRefusedWithTheServersText) {
    Smtp.Password = "wrong";
    TTempFile attachment("a.rar", "x");
    TIdMessage message = Build("s", attachment.Path);
    Smtp.Connect();
    try {
        Smtp.Send(message);
        FAIL() << "sent";
    } catch (const EIdProtocolReplyError& e) {
        EXPECT_EQ(e.ReplyCode, 535);
        EXPECT_EQ(e.Message, "5.7.8 Authentication credentials invalid\r\n");
    }
    EXPECT_TRUE(Smtp.Connected());
    EXPECT_FALSE(Smtp.Authenticated);
    Smtp.Disconnect();
    EXPECT_TRUE(Server.Messages().empty());
}

TEST_F(SmtpRoundTripTest, MissingAttachmentFailsInsideTheData) {
    TIdMessage message = Build("s", "/nonexistent/quorvel/20240105.rar");
    Smtp.Connect();
    EXPECT_THROW(Smtp.Send(message), Exception);
    EXPECT_TRUE(Smtp.Connected()); // in the middle of the data; the next mail starts over
    Smtp.Disconnect();
    EXPECT_TRUE(Server.Messages().empty());
}

} // namespace
