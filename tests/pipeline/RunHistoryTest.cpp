// The run history file: records that read back as written, a torn last line
// skipped, rotation, private mode and appenders in two processes at once.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "pipeline/RunHistory.h"
#include "platform/Files.h"
#include "tests/pipeline/PipelineFixture.h"

namespace fs = std::filesystem;

namespace {

TRunRecord SampleRecord(const std::string& task = "夜间备份", int minute = 31) {
    TRunRecord r;
    r.TaskName = task;
    r.RecNo = 2;
    r.Planned = LocalTime(20, minute, 0);
    r.Started = LocalTime(20, minute, 12);
    r.Ended = LocalTime(20, minute + 2, 5);
    r.Outcome = TCycleOutcome::Sent;
    r.Databases = {"pubs", "north wind"};
    r.Archive = "20240506203143.rar";
    r.ArchiveBytes = 123456;
    r.Parts = 1;
    r.Recipients = {"ops@example.com", "boss@example.com"};
    return r;
}

class HistoryFileTest : public testing::Test {
protected:
    void SetUp() override {
        Dir = fs::temp_directory_path() / ("qh-" + std::to_string(::getpid()));
        fs::remove_all(Dir);
        fs::create_directories(Dir);
        Path = (Dir / "history.jsonl").string();
    }
    void TearDown() override { fs::remove_all(Dir); }

    std::string Content(const std::string& path) const {
        std::string content;
        ReadWholeFile(path, content);
        return content;
    }

    fs::path Dir;
    std::string Path;
};

// ---------------------------------------------------------------- records

struct TRecordCase {
    const char* Name;
    TRunRecord Record;
};

TRunRecord Varied(const std::function<void(TRunRecord&)>& change) {
    TRunRecord r = SampleRecord();
    change(r);
    return r;
}

class RecordRoundTrip : public testing::TestWithParam<TRecordCase> {};

TEST_P(RecordRoundTrip, ReadsBackAsWrittenOnOneLine) {
    const TRunRecord& record = GetParam().Record;
    const std::string line = FormatRunRecord(record);
    EXPECT_EQ(line.find('\n'), std::string::npos) << line;
    std::string error;
    const std::optional<TRunRecord> back = ParseRunRecord(line, &error);
    ASSERT_TRUE(back) << error << "\n" << line;
    EXPECT_EQ(*back, record) << line;
}

INSTANTIATE_TEST_SUITE_P(
    Records, RecordRoundTrip,
    testing::Values(
        TRecordCase {"Sent", SampleRecord()},
        TRecordCase {"FailedWithErrorTexts", Varied([](TRunRecord& r) {
                         r.Outcome = TCycleOutcome::Failed;
                         r.Step = TCycleStep::Backup;
                         r.Archive.clear();
                         r.ArchiveBytes = 0;
                         r.Parts = 0;
                         r.Errors = {"Cannot open backup device 'D:\\bak\\pubs.bak'.\r\nOperating system error 3.",
                                     "quote \" tab \t bell \a"};
                         r.NoticeError = "失败通知无法发送：Connection refused";
                     })},
        TRecordCase {"CommandWithoutPlannedTime", Varied([](TRunRecord& r) {
                         r.Origin = TCycleOrigin::Command;
                         r.Planned.reset();
                         r.Outcome = TCycleOutcome::NotMailed;
                     })},
        TRecordCase {"CaughtUpWithManyParts", Varied([](TRunRecord& r) {
                         r.Origin = TCycleOrigin::CatchUp;
                         r.Parts = 7;
                         r.ArchiveBytes = 7ull * 1024 * 1024 * 1024;
                     })},
        TRecordCase {"EmptyLists", Varied([](TRunRecord& r) {
                         r.Databases.clear();
                         r.Recipients.clear();
                     })}),
    [](const auto& test) { return std::string(test.param.Name); });

struct TBadLine {
    const char* Name;
    const char* Line;
};

class RecordRefused : public testing::TestWithParam<TBadLine> {};

TEST_P(RecordRefused, IsNoRecordAndSaysWhy) {
    std::string error;
    EXPECT_FALSE(ParseRunRecord(GetParam().Line, &error));
    EXPECT_FALSE(error.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Lines, RecordRefused,
    testing::Values(
        TBadLine {"Torn", R"({"task":"T","started":"2024-05-06T20:31:00+02:00","outcome":"se)"},
        TBadLine {"NoObject", R"(["task"])"},
        TBadLine {"NoTask", R"({"started":"2024-05-06T20:31:00Z","outcome":"sent","step":""})"},
        TBadLine {"UnknownOutcome", R"({"task":"T","started":"2024-05-06T20:31:00Z","outcome":"ok","step":""})"},
        TBadLine {"UnknownStep", R"({"task":"T","started":"2024-05-06T20:31:00Z","outcome":"failed","step":"x"})"},
        TBadLine {"BadTime", R"({"task":"T","started":"2024-05-06 20:31","outcome":"sent","step":""})"},
        TBadLine {"ListOfNumbers", R"({"task":"T","started":"2024-05-06T20:31:00Z","outcome":"sent","step":"","errors":[1]})"},
        TBadLine {"NegativeSize", R"({"task":"T","started":"2024-05-06T20:31:00Z","outcome":"sent","step":"","archiveBytes":-1})"},
        TBadLine {"TextAfterObject", R"({"task":"T","started":"2024-05-06T20:31:00Z","outcome":"sent","step":""} x)"},
        TBadLine {"LoneSurrogate", R"({"task":"\ud800","started":"2024-05-06T20:31:00Z","outcome":"sent","step":""})"},
        TBadLine {"DeepNesting", R"({"task":"T","x":[[[[[[[[[[[[[[[[[[[[1]]]]]]]]]]]]]]]]]]]]})"}),
    [](const auto& test) { return std::string(test.param.Name); });

TEST(RecordTime, ReadsOffsetsAndUtcAndRefusesOtherForms) {
    const TTimePoint utc = TTimePoint(std::chrono::seconds(1715020260)); // 2024-05-06T18:31:00Z
    EXPECT_EQ(ParseRecordTime("2024-05-06T18:31:00Z"), utc);
    EXPECT_EQ(ParseRecordTime("2024-05-06T20:31:00+02:00"), utc);
    EXPECT_EQ(ParseRecordTime("2024-05-06T13:01:00-05:30"), utc);
    EXPECT_EQ(ParseRecordTime(FormatRecordTime(utc)), utc);
    for (const char* bad : {"", "2024-05-06", "2024-05-06T18:31:00", "2024-13-06T18:31:00Z", "2024-05-06T18:31:00+2",
                            "2024-05-06T18:31:00+02:00x", "20x4-05-06T18:31:00Z"})
        EXPECT_FALSE(ParseRecordTime(bad)) << bad;
}

// ---------------------------------------------------------------- the file

TEST_F(HistoryFileTest, AppendsWholeLinesToAPrivateFileAndReadsThemBackInOrder) {
    const TRunHistory history(Path);
    const TRunRecord first = SampleRecord("A", 10), second = SampleRecord("B", 20);
    history.Append(first);
    history.Append(second);
    EXPECT_EQ(Content(Path), FormatRunRecord(first) + "\n" + FormatRunRecord(second) + "\n");
    EXPECT_EQ(fs::status(Path).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    const TRunHistory::TReadResult read = history.Read();
    EXPECT_EQ(read.Records, (std::vector<TRunRecord> {first, second}));
    EXPECT_TRUE(read.Warnings.empty());
}

TEST_F(HistoryFileTest, AFileOthersCanReadIsMadePrivateAtTheNextAppend) {
    std::ofstream(Path) << FormatRunRecord(SampleRecord()) << "\n";
    fs::permissions(Path, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
    TRunHistory(Path).Append(SampleRecord("B"));
    EXPECT_EQ(fs::status(Path).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(HistoryFileTest, AMissingFileHoldsNoRecordsAndAnUnwritableOneRaises) {
    const TRunHistory::TReadResult read = TRunHistory(Path).Read();
    EXPECT_TRUE(read.Records.empty());
    EXPECT_TRUE(read.Warnings.empty());
    EXPECT_THROW(TRunHistory((Dir / "no-such-folder" / "history.jsonl").string()).Append(SampleRecord()),
                 EHistoryError);
}

TEST_F(HistoryFileTest, ATornLastLineIsSkippedWithAWarningAndTheNextAppendStaysWhole) {
    const TRunRecord kept = SampleRecord("A", 10);
    const std::string torn = FormatRunRecord(SampleRecord("B", 20)).substr(0, 40);
    std::ofstream(Path, std::ios::binary) << FormatRunRecord(kept) << "\n" << torn;

    TRunHistory::TReadResult read = TRunHistory(Path).Read();
    EXPECT_EQ(read.Records, std::vector<TRunRecord> {kept});
    ASSERT_EQ(read.Warnings.size(), 1u);
    EXPECT_NE(read.Warnings[0].find("incomplete"), std::string::npos) << read.Warnings[0];

    // The torn piece must not glue itself to the next record.
    const TRunRecord later = SampleRecord("C", 30);
    TRunHistory(Path).Append(later);
    read = TRunHistory(Path).Read();
    EXPECT_EQ(read.Records, (std::vector<TRunRecord> {kept, later})) << Content(Path);
    ASSERT_EQ(read.Warnings.size(), 1u);
    EXPECT_NE(read.Warnings[0].find("line 2"), std::string::npos) << read.Warnings[0];
}

TEST_F(HistoryFileTest, RotatesBeforeTheLimitKeepingOneOlderFile) {
    const std::size_t lineBytes = FormatRunRecord(SampleRecord("T0", 10)).size() + 1;
    const TRunHistory history(Path, lineBytes * 3); // three lines fit, the fourth rotates
    std::vector<TRunRecord> appended;
    for (int i = 0; i < 8; ++i) {
        appended.push_back(SampleRecord("T" + std::to_string(i), 10));
        history.Append(appended.back());
        EXPECT_LE(fs::file_size(Path), lineBytes * 3);
    }
    // Lines 0-2 went to the older file, then 3-5 replaced them there; 6-7 are current.
    EXPECT_EQ(Content(history.OlderPath()),
              FormatRunRecord(appended[3]) + "\n" + FormatRunRecord(appended[4]) + "\n" +
                  FormatRunRecord(appended[5]) + "\n");
    const TRunHistory::TReadResult read = history.Read();
    EXPECT_EQ(read.Records, std::vector<TRunRecord>(appended.begin() + 3, appended.end()));
    EXPECT_TRUE(read.Warnings.empty());
}

// Appends from two processes at once, with a rotation limit that both cross
// many times: every line stays whole and each writer's lines keep their order.
class ConcurrentAppenders : public HistoryFileTest, public testing::WithParamInterface<std::uint64_t> {};

TEST_P(ConcurrentAppenders, NeverInterleaveLines) {
    constexpr int PerWriter = 150;
    const std::uint64_t rotateAt = GetParam();
    std::vector<pid_t> children;
    for (const char* writer : {"left", "right"}) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int status = 0;
            try {
                const TRunHistory history(Path, rotateAt);
                for (int i = 0; i < PerWriter; ++i) {
                    TRunRecord r = SampleRecord(writer);
                    r.RecNo = i;
                    r.Errors.assign(static_cast<std::size_t>(i % 5), std::string(200, 'x'));
                    history.Append(r);
                }
            } catch (...) {
                status = 1;
            }
            ::_exit(status);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const TRunHistory::TReadResult read = TRunHistory(Path, rotateAt).Read();
    EXPECT_TRUE(read.Warnings.empty()) << read.Warnings.front();
    std::map<std::string, int> next;
    for (const TRunRecord& r : read.Records) {
        auto [it, fresh] = next.emplace(r.TaskName, r.RecNo);
        EXPECT_EQ(r.RecNo, it->second) << r.TaskName << " lost or reordered a line";
        it->second = r.RecNo + 1;
    }
    ASSERT_FALSE(read.Records.empty());
    EXPECT_EQ(read.Records.back().RecNo, PerWriter - 1) << "the newest line is kept";
    if (rotateAt == TRunHistory::RotateAtBytes) {
        // Without rotation nothing is dropped (with it a writer that finished
        // early may have all its lines rotated out by the other).
        EXPECT_EQ(next["left"], PerWriter);
        EXPECT_EQ(next["right"], PerWriter);
    }
    EXPECT_LE(fs::file_size(Path), rotateAt);
}

INSTANTIATE_TEST_SUITE_P(Limits, ConcurrentAppenders, testing::Values(TRunHistory::RotateAtBytes, 16 * 1024),
                         [](const auto& test) { return test.param == TRunHistory::RotateAtBytes ? "NoRotation" : "Rotating"; });

} // namespace
