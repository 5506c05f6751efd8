// The pure pieces of the archive and mail steps: macros, time stamps, the batch
// file's text, the send delay, the freshness window and the mail's body.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "pipeline/BackupCycle.h"
#include "platform/Files.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

AnsiString A(const char* utf8) { return Utf8ToAnsi(utf8); }

TLocalDateTime At(int y, int mo, int d, int h, int mi, int s, int ms = 0) {
    TLocalDateTime t;
    t.Year = y, t.Month = mo, t.Day = d, t.Hour = h, t.Minute = mi, t.Second = s, t.Millisecond = ms;
    return t;
}

struct TMacroCase {
    const char* Name;
    const char* Text;
    const char* Macro;
    const char* Value;
    bool CaseSensitive;
    const char* Expected;
    bool Found;
};

void PrintTo(const TMacroCase& c, std::ostream* os) { *os << c.Name; }

const TMacroCase MacroCases[] = {
    {"SubjectOfTheTypicalDay", "备份<FILE> <date>", "<file>", "20100415093000.rar", false,
     "备份20100415093000.rar <date>", true},
    {"MixedCase", "<File>|<fIlE>", "<file>", "x", false, "x|x", true},
    {"CaseSensitiveSkipsOtherCases", "<File>|<file>", "<file>", "x", true, "<File>|x", true},
    {"NoMacroUnchanged", "每日备份", "<file>", "x", false, "每日备份", false},
    {"Twice", "<date>-<date>", "<date>", "2010-04-15", false, "2010-04-15-2010-04-15", true},
    {"ValueHoldingTheMacroIsNotReplacedAgain", "a<file>b", "<file>", "<FILE><file>", false, "a<FILE><file>b",
     true},
    {"EmptyValue", "x<date>y", "<date>", "", false, "xy", true},
    {"EmptyText", "", "<date>", "v", false, "", false},
    {"EmptyMacroMatchesNothing", "abc", "", "v", false, "abc", false},
    {"Adjacent", "<date><date>", "<DATE>", "1", false, "11", true},
    // 華 is 0xC8 0x41 in code page 936: its second byte is "A", where no match may start.
    {"NeverInsideADoubleByteCharacter", "華b A", "ab", "X", false, "華b A", false},
    {"AfterADoubleByteCharacter", "華Ab", "ab", "X", false, "華X", true},
};

class ReplaceMacroCase : public testing::TestWithParam<TMacroCase> {};

TEST_P(ReplaceMacroCase, ReplacesEveryOccurrenceLeftToRight) {
    const TMacroCase& c = GetParam();
    AnsiString text = A(c.Text);
    EXPECT_EQ(ReplaceMacro(text, A(c.Macro), A(c.Value), c.CaseSensitive), c.Found);
    EXPECT_EQ(text, A(c.Expected));
}

INSTANTIATE_TEST_SUITE_P(ReplaceMacro, ReplaceMacroCase, testing::ValuesIn(MacroCases),
                         [](const auto& test) { return std::string(test.param.Name); });

class FileStampTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("quorvel-stamp-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
        path_ = (dir_ / "20100415093000.rar").string();
        ASSERT_EQ(ReplaceFileContent(path_, "x"), 0);
    }
    void TearDown() override { fs::remove_all(dir_); }
    void Touch(const TLocalDateTime& local, long nanoseconds) {
        timespec times[2];
        times[0].tv_sec = times[1].tv_sec = std::chrono::system_clock::to_time_t(FromLocal(local));
        times[0].tv_nsec = times[1].tv_nsec = nanoseconds;
        ASSERT_EQ(::utimensat(AT_FDCWD, path_.c_str(), times, 0), 0);
    }
    fs::path dir_;
    std::string path_;
};

TEST_F(FileStampTest, LocalTimeWithTwoSecondResolution) {
    struct Case {
        TLocalDateTime written;
        long nanoseconds;
        TLocalDateTime expected;
    };
    const Case cases[] = {
        {At(2010, 4, 15, 9, 30, 0), 0, At(2010, 4, 15, 9, 30, 0)},
        {At(2010, 4, 15, 9, 30, 1), 999000000, At(2010, 4, 15, 9, 30, 0)},
        {At(2010, 4, 15, 9, 30, 59), 500000000, At(2010, 4, 15, 9, 30, 58)},
        {At(2010, 4, 15, 23, 59, 59), 0, At(2010, 4, 15, 23, 59, 58)},
        {At(1980, 1, 1, 0, 0, 0), 0, At(1980, 1, 1, 0, 0, 0)},
    };
    for (const Case& c : cases) {
        Touch(c.written, c.nanoseconds);
        std::optional<TLocalDateTime> stamp = FileStamp(path_);
        ASSERT_TRUE(stamp.has_value());
        EXPECT_EQ(FormatDateTime(*stamp), FormatDateTime(c.expected));
        EXPECT_EQ(stamp->Millisecond, 0);
    }
}

TEST_F(FileStampTest, NothingForAMissingFileOrATimeWithoutFatForm) {
    EXPECT_FALSE(FileStamp((dir_ / "missing.rar").string()).has_value());
    Touch(At(1979, 12, 31, 23, 59, 58), 0);
    EXPECT_FALSE(FileStamp(path_).has_value());
}

TEST(ArchiveStep, BatchFileText) {
    struct Case {
        const char* name;
        const char* exeFolder;
        const char* backupFolder;
        const char* line3;
    };
    const Case cases[] = {
        {"plain", "/opt/quorvel/", "/var/opt/mssql/backup", "rar a -r -ag /opt/quorvel/bak/ /var/opt/mssql/backup/"},
        {"folder ending in a separator", "/opt/quorvel/", "/srv/bak/", "rar a -r -ag /opt/quorvel/bak/ /srv/bak//"},
        {"blanks are quoted", "/opt/my tools/", "/srv/sql backup",
         "rar a -r -ag \"/opt/my tools/bak/\" \"/srv/sql backup/\""},
        {"percent signs doubled", "/opt/q/", "/srv/100%", "rar a -r -ag /opt/q/bak/ /srv/100%%/"},
        {"Chinese folder", "/opt/备份程序/", "/srv/数据库", "rar a -r -ag /opt/备份程序/bak/ /srv/数据库/"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TBackupCycle::BatchFileText(c.exeFolder, A(c.backupFolder)),
                  A("@Echo off\r\npath /opt/rar;/usr/local/rar;%path%\r\n") + A(c.line3) + "\r\n")
            << c.name;
    }
}

TEST(ArchiveStep, OperandsThatCouldBreakOutAreRefused) {
    const char* const folders[] = {
        "/srv/s\nsh -c \"touch /tmp/PWNED\" \"", // a new line of the batch file
        "/srv/s\rx",
        "/srv/A\" -df \"/srv/V", // ends the quoted operand: a switch for rar
        "/srv/A\"",
        "-df", // read as a switch itself
        "/srv/\x7f",
    };
    for (const char* folder : folders) {
        SCOPED_TRACE(folder);
        EXPECT_THROW(TBackupCycle::BatchFileText("/opt/q/", folder), EInOutError);
    }
    EXPECT_THROW(TBackupCycle::BatchFileText("/opt/q\n/", "/srv"), EInOutError) << "the program's own folder too";
}

TEST(ArchiveStep, SendDelay) {
    struct Case {
        std::int64_t seconds;
        std::int64_t ms;
    };
    const Case cases[] = {{0, 0},         {1, 30000},   {10, 30000},  {29, 30000},
                          {30, 30000},    {31, 31000},  {60, 60000},  {-1, 30000},
                          {-3600, 30000}, {86400, 86400000}};
    for (const Case& c : cases) EXPECT_EQ(TBackupCycle::SendDelay(c.seconds), c.ms) << c.seconds;
}

TEST(MailStep, FreshArchiveWindow) {
    const TTimePoint now = FromLocal(At(2010, 4, 15, 9, 40, 0));
    struct Case {
        const char* name;
        TLocalDateTime stamp;
        bool fresh;
    };
    const Case cases[] = {
        {"just written", At(2010, 4, 15, 9, 40, 0), true},
        {"ten minutes", At(2010, 4, 15, 9, 30, 0), true},
        {"15:58 ago", At(2010, 4, 15, 9, 24, 2), true},
        {"16 minutes", At(2010, 4, 15, 9, 24, 0), false},
        {"an hour", At(2010, 4, 15, 8, 40, 0), false},
        {"yesterday, same time", At(2010, 4, 14, 9, 40, 0), false},
        {"two seconds ahead (clock skew)", At(2010, 4, 15, 9, 40, 2), true},
        {"tomorrow", At(2010, 4, 16, 9, 40, 0), false},
    };
    for (const Case& c : cases) EXPECT_EQ(TBackupCycle::IsFreshArchive(c.stamp, now), c.fresh) << c.name;
    // A cycle that crosses midnight: its archive, written at 23:59, is mailed at 00:01.
    EXPECT_TRUE(TBackupCycle::IsFreshArchive(At(2010, 4, 14, 23, 59, 0), FromLocal(At(2010, 4, 15, 0, 1, 0))));
    EXPECT_FALSE(TBackupCycle::IsFreshArchive(At(2010, 4, 14, 23, 40, 0), FromLocal(At(2010, 4, 15, 0, 1, 0))));
}

TEST(MailStep, ArchivesOfTheDayBeforeAreSoughtOnlyWhileTheyCanBeFresh) {
    struct Case {
        TLocalDateTime now;
        std::vector<std::string> prefixes;
    } cases[] = {
        {At(2010, 4, 15, 9, 40, 0), {"20100415"}},
        {At(2010, 4, 15, 0, 1, 0), {"20100415", "20100414"}},
        {At(2010, 4, 15, 0, 15, 59), {"20100415", "20100414"}},
        {At(2010, 4, 15, 0, 16, 0), {"20100415"}},
        {At(2010, 1, 1, 0, 0, 30), {"20100101", "20091231"}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(TBackupCycle::ArchiveDatePrefixes(FromLocal(c.now)), c.prefixes) << FormatDateTime(c.now);
}

TEST(MailStep, DateTextsAndBody) {
    EXPECT_EQ(TBackupCycle::ArchiveDatePrefix(At(2010, 4, 5, 9, 3, 0)), "20100405");
    EXPECT_EQ(TBackupCycle::ShortDate(At(2010, 4, 5, 9, 3, 0)), "2010-04-05");
    EXPECT_EQ(TBackupCycle::DateTimeToStr(At(2010, 4, 15, 9, 30, 5)), "2010-04-15 09:30:05");
    EXPECT_EQ(TBackupCycle::DateTimeToStr(At(2010, 4, 15, 0, 0, 0)), "2010-04-15");
    EXPECT_EQ(TBackupCycle::DateTimeToStr(At(2010, 4, 15, 0, 0, 0, 1)), "2010-04-15 00:00:00");
    EXPECT_EQ(TBackupCycle::MailBody("pubs,northwind", At(2010, 4, 15, 20, 31, 40)),
              (std::vector<AnsiString>{A("自动备份数据库：pubs,northwind"), A("备份时间：2010-04-15 20:31:40")}));
}

} // namespace
