// The program's mail as its builder makes it: the subject's macros, the
// addresses and the parts. Its bytes are checked in the mail tests.
#include <gtest/gtest.h>

#include "pipeline/ArchiveMessage.h"
#include "pipeline/BackupCycle.h"

namespace {

AnsiString A(const char* utf8) { return Utf8ToAnsi(utf8); }

const TLocalDateTime Noon {2024, 1, 5, 12, 0, 0};

struct TSubjectCase {
    const char* Name;
    const char* TopicUtf8;
    const char* PathUtf8;
    const char* SubjectUtf8;
};
void PrintTo(const TSubjectCase& c, std::ostream* os) { *os << c.Name; }

class ArchiveMessageSubjectTest : public testing::TestWithParam<TSubjectCase> {};

TEST_P(ArchiveMessageSubjectTest, TakesTheTopicWithItsMacrosReplaced) {
    TTaskRecord task;
    task.MailTopic = A(GetParam().TopicUtf8);
    task.ToMailAddr = "ops@example.com";
    const TIdMessage message = MakeArchiveMessage(task, ParseSender("backup@example.com"), A(GetParam().PathUtf8), Noon);
    EXPECT_EQ(message.Subject, A(GetParam().SubjectUtf8));
}

INSTANTIATE_TEST_SUITE_P(
    Topics, ArchiveMessageSubjectTest,
    testing::Values(
        TSubjectCase {"NoMacro", "数据库备份", "/srv/q/bak/20240105120000.rar", "数据库备份"},
        TSubjectCase {"FileAndDate", "备份<file> <date>", "/srv/q/bak/20240105120000.rar",
                      "备份20240105120000.rar 2024-01-05"},
        TSubjectCase {"AnyLetterCase", "<FILE>|<Date>", "/srv/q/bak/20240105120000.rar", "20240105120000.rar|2024-01-05"},
        TSubjectCase {"EveryOccurrence", "<file>,<file>", "/srv/q/bak/a.rar", "a.rar,a.rar"},
        TSubjectCase {"ChineseFolder", "<file>", "/srv/备份/bak/b.rar", "b.rar"},
        TSubjectCase {"NoArchive", "<file>x<date>", "", "x2024-01-05"}),
    [](const auto& test) { return std::string(test.param.Name); });

TEST(ArchiveMessageTest, CarriesTheTasksAddressesTextAndArchive) {
    TTaskRecord task;
    task.BakDBName = A("销售,财务");
    task.ToMailAddr = A("张三 <zs@example.com>; li@example.com");
    task.CcMailAddr = "cc@example.com";
    const TIdMessage message =
        MakeArchiveMessage(task, ParseSender(A("客服中心 <backup@example.com>")), "/srv/q/bak/a.rar", Noon);
    EXPECT_EQ(message.From.Address, "backup@example.com");
    EXPECT_EQ(message.From.Name, A("客服中心"));
    ASSERT_EQ(message.Recipients.Count(), 2u);
    EXPECT_EQ(message.Recipients[0].Address, "zs@example.com");
    EXPECT_EQ(message.Recipients[0].Name, A("张三"));
    EXPECT_EQ(message.Recipients[1].Address, "li@example.com");
    ASSERT_EQ(message.CCList.Count(), 1u);
    EXPECT_EQ(message.CCList[0].Address, "cc@example.com");
    EXPECT_TRUE(message.ReplyTo.Empty());
    EXPECT_TRUE(message.BccList.Empty());
    EXPECT_EQ(message.ContentType, "text/html");
    EXPECT_EQ(message.CharSet, "gb2312");
    EXPECT_TRUE(message.UseNowForDate());
    EXPECT_EQ(message.Body, TBackupCycle::MailBody(task.BakDBName, Noon));
    ASSERT_EQ(message.Parts.Count(), 1u);
    const auto* attachment = dynamic_cast<const TIdAttachment*>(&message.Parts[0]);
    ASSERT_NE(attachment, nullptr);
    EXPECT_EQ(attachment->FileName, "a.rar");
}

TEST(ArchiveMessageTest, WithoutAnArchiveHasNoParts) {
    TTaskRecord task;
    task.ToMailAddr = "ops@example.com";
    EXPECT_TRUE(MakeArchiveMessage(task, ParseSender("backup@example.com"), "", Noon).Parts.Empty());
}

TEST(ArchiveMessageTest, AnAddressListThatDoesNotParseIsRaised) {
    TTaskRecord task;
    task.ToMailAddr = "ops <ops@example.com>@example.com";
    EXPECT_THROW(MakeArchiveMessage(task, ParseSender("backup@example.com"), "", Noon), EIdEmailParseError);
}

// What the mail says beyond the archive: encryption, and which volume it carries.
TEST(ArchiveMessageTest, EncryptionAndVolumeShowInSubjectBodyAndAttachment) {
    TTaskRecord task;
    task.MailTopic = A("备份<file>");
    task.BakDBName = "pubs";
    task.ToMailAddr = "ops@example.com";
    const TIdEMailAddressItem sender = ParseSender("backup@example.com");
    const AnsiString path = "/srv/q/bak/20240105120000.zip";
    std::vector<AnsiString> body = TBackupCycle::MailBody(task.BakDBName, Noon);

    const TIdMessage encrypted = MakeArchiveMessage(task, sender, path, Noon, {.Encrypted = true});
    EXPECT_EQ(encrypted.Subject, A("备份20240105120000.zip"));
    body.push_back(A("压缩包已加密"));
    EXPECT_EQ(encrypted.Body, body);

    const TIdMessage volume = MakeArchiveMessage(task, sender, path, Noon, {.Encrypted = true, .Volume = 2, .Volumes = 12});
    EXPECT_EQ(volume.Subject, A("备份20240105120000.zip (2/12)")) << "the archive's name, then the volume";
    body.push_back(A("分卷 2/12"));
    EXPECT_EQ(volume.Body, body);
    ASSERT_EQ(volume.Parts.Count(), 1u);
    const auto* attachment = dynamic_cast<const TIdAttachment*>(&volume.Parts[0]);
    ASSERT_NE(attachment, nullptr);
    EXPECT_EQ(attachment->FileName, "20240105120000.zip.002");
}

} // namespace
