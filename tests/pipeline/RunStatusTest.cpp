// What quorvelctl status tells a monitor: a table of histories with the lines,
// the exit status and the metrics (read back by the reference Prometheus parser).
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "pipeline/FailureNotice.h"
#include "pipeline/RunStatus.h"
#include "platform/Files.h"
#include "tests/pipeline/PipelineFixture.h"
#include "tests/support/ShellRun.h"

namespace fs = std::filesystem;

namespace {

// Yesterday's date of LocalTime().
TTimePoint Yesterday(int hour, int minute, int second) { return LocalTime(hour, minute, second) - std::chrono::hours(24); }

TRunRecord Record(const std::string& task, TTimePoint planned, TCycleOutcome outcome,
                  TCycleStep step = TCycleStep::None) {
    TRunRecord r;
    r.TaskName = task;
    r.RecNo = 1;
    r.Planned = planned;
    r.Started = planned + std::chrono::seconds(20);
    r.Ended = planned + std::chrono::minutes(2);
    r.Outcome = outcome;
    r.Step = step;
    if (outcome != TCycleOutcome::Failed) {
        r.Archive = "a.rar";
        r.ArchiveBytes = 4096;
        r.Parts = outcome == TCycleOutcome::Sent ? 1 : 0;
    }
    return r;
}

TRunRecord ByCommand(TRunRecord r) {
    r.Origin = TCycleOrigin::Command;
    r.Planned.reset();
    return r;
}

TTaskSchedule Nightly(const std::string& name, int hour = 20, int minute = 31) {
    return {name, {{hour, minute}}, std::chrono::seconds(90) + RecordMargin};
}

struct TStatusCase {
    const char* Name;
    std::vector<TTaskSchedule> Tasks;
    std::vector<TRunRecord> History;
    std::vector<std::string> Lines; // without the settings line
    int ExitCode;
    std::vector<std::string> Samples; // as read_metrics.py prints them
};

// The check is made at 2024-05-06 23:00.
const TTimePoint Now = LocalTime(23, 0, 0);

std::string Seconds(TTimePoint t) {
    return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count());
}

// Samples of one task in the order the families are printed.
std::vector<std::string> TaskSamples(const std::string& task, std::optional<TTimePoint> ended, int success,
                                     std::optional<int> bytes, int overdue, TTimePoint next) {
    const std::string label = "{task=\"" + task + "\"} ";
    std::vector<std::string> out;
    if (ended) out.push_back("quorvel_last_run_timestamp_seconds" + label + Seconds(*ended));
    out.push_back("quorvel_last_run_success" + label + std::to_string(success));
    if (bytes) out.push_back("quorvel_last_archive_bytes" + label + std::to_string(*bytes));
    out.push_back("quorvel_overdue" + label + std::to_string(overdue));
    out.push_back("quorvel_next_run_timestamp_seconds" + label + Seconds(next));
    return out;
}

const TTimePoint NextNight = LocalTime(20, 31, 0) + std::chrono::hours(24);

std::vector<TStatusCase> StatusCases() {
    const TTimePoint tonight = LocalTime(20, 31, 0);
    const TTimePoint lastNight = Yesterday(20, 31, 0);
    return {
        {"SentTonight",
         {Nightly("夜间备份")},
         {Record("夜间备份", lastNight, TCycleOutcome::Failed, TCycleStep::Mail),
          Record("夜间备份", tonight, TCycleOutcome::Sent)},
         {"夜间备份  sent  2024-05-06 20:33  next 2024-05-07 20:31"},
         0,
         TaskSamples("夜间备份", tonight + std::chrono::minutes(2), 1, 4096, 0, NextNight)},
        {"NotMailedCountsAsGood",
         {Nightly("T")},
         {Record("T", tonight, TCycleOutcome::NotMailed)},
         {"T  not-mailed  2024-05-06 20:33  next 2024-05-07 20:31"},
         0,
         TaskSamples("T", tonight + std::chrono::minutes(2), 1, 4096, 0, NextNight)},
        {"FailedNamesItsStep",
         {Nightly("T")},
         {Record("T", tonight, TCycleOutcome::Failed, TCycleStep::Backup)},
         {"T  failed (backup)  2024-05-06 20:33  next 2024-05-07 20:31"},
         1,
         TaskSamples("T", tonight + std::chrono::minutes(2), 0, 0, 0, NextNight)},
        {"NeverRunIsOverdue",
         {Nightly("T")},
         {Record("other", tonight, TCycleOutcome::Sent)},
         {"T  never  -  next 2024-05-07 20:31  OVERDUE (20:31)"},
         1,
         TaskSamples("T", std::nullopt, 0, std::nullopt, 1, NextNight)},
        {"LastNightSentTonightMissing",
         {Nightly("T")},
         {Record("T", lastNight, TCycleOutcome::Sent)},
         {"T  sent  2024-05-05 20:33  next 2024-05-07 20:31  OVERDUE (20:31)"},
         1,
         TaskSamples("T", lastNight + std::chrono::minutes(2), 1, 4096, 1, NextNight)},
        {"ARunByHandDoesNotStandInForTheSchedule",
         {Nightly("T")},
         {Record("T", lastNight, TCycleOutcome::Sent), ByCommand(Record("T", tonight, TCycleOutcome::Sent))},
         {"T  sent  2024-05-06 20:33  next 2024-05-07 20:31  OVERDUE (20:31)"},
         1,
         TaskSamples("T", tonight + std::chrono::minutes(2), 1, 4096, 1, NextNight)},
        {"ACycleStillRunningIsNotOverdueYet",
         {Nightly("T", 22, 45)},
         {Record("T", Yesterday(22, 45, 0), TCycleOutcome::Sent)},
         {"T  sent  2024-05-05 22:47  next 2024-05-07 22:45"},
         0,
         TaskSamples("T", Yesterday(22, 47, 0), 1, 4096, 0, LocalTime(22, 45, 0) + std::chrono::hours(24))},
        {"SecondSlotMissedOnly",
         {{"T", {{3, 0}, {20, 31}}, std::chrono::seconds(90) + RecordMargin}},
         {Record("T", LocalTime(3, 0, 0), TCycleOutcome::Sent)},
         {"T  sent  2024-05-06 03:02  next 2024-05-07 03:00  OVERDUE (20:31)"},
         1,
         TaskSamples("T", LocalTime(3, 2, 0), 1, 4096, 1, LocalTime(3, 0, 0) + std::chrono::hours(24))},
        {"OneBadTaskOfTwo",
         {Nightly("a-long-name"), Nightly("b")},
         {Record("a-long-name", tonight, TCycleOutcome::Sent),
          Record("b", tonight, TCycleOutcome::Failed, TCycleStep::Connect)},
         {"a-long-name  sent              2024-05-06 20:33  next 2024-05-07 20:31",
          "b            failed (connect)  2024-05-06 20:33  next 2024-05-07 20:31"},
         1,
         [&] {
             auto a = TaskSamples("a-long-name", tonight + std::chrono::minutes(2), 1, 4096, 0, NextNight);
             auto b = TaskSamples("b", tonight + std::chrono::minutes(2), 0, 0, 0, NextNight);
             // read_metrics.py prints family by family.
             std::vector<std::string> out;
             for (std::size_t i = 0; i < a.size(); ++i) {
                 out.push_back(a[i]);
                 out.push_back(b[i]);
             }
             return out;
         }()},
        {"LabelTextIsEscaped",
         {Nightly("say \"hi\" \\ bye")},
         {Record("say \"hi\" \\ bye", tonight, TCycleOutcome::Sent)},
         {"say \"hi\" \\ bye  sent  2024-05-06 20:33  next 2024-05-07 20:31"},
         0,
         TaskSamples("say \"hi\" \\ bye", tonight + std::chrono::minutes(2), 1, 4096, 0, NextNight)},
        {"NoTasksIsNoGoodNews", {}, {Record("T", tonight, TCycleOutcome::Sent)}, {}, 1, {}},
    };
}

// The reference parser's reading of a Prometheus text.
std::vector<std::string> ReadMetrics(const std::string& text) {
    const std::string path = TempFolder() + "qm-" + std::to_string(::getpid()) + ".prom";
    EXPECT_EQ(ReplaceFileContent(path, text), 0);
    const std::string command =
        std::string(QUORVEL_PYTHON) + " " + QUORVEL_PEERS_DIR + "/read_metrics.py '" + path + "' 2>&1";
    const TShellRun run = RunShell(command);
    fs::remove(path);
    return SplitLines(run.Out);
}

class StatusTable : public testing::TestWithParam<TStatusCase> {};

TEST_P(StatusTable, LinesExitStatusAndMetrics) {
    const TStatusCase& c = GetParam();
    const std::vector<TTaskStatus> statuses = ComputeStatus(c.Tasks, c.History, Now);
    std::vector<std::string> lines = StatusLines(statuses, {});
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "backup checksum off, verify off, failure notices on");
    lines.pop_back();
    EXPECT_EQ(lines, c.Lines);
    EXPECT_EQ(StatusExitCode(statuses), c.ExitCode);

    std::vector<std::string> samples = ReadMetrics(PrometheusText(statuses, {}));
    ASSERT_GE(samples.size(), 2u) << (samples.empty() ? "" : samples[0]);
    EXPECT_EQ(samples[samples.size() - 2], "quorvel_backup_checksum_enabled{} 0");
    EXPECT_EQ(samples.back(), "quorvel_backup_verify_enabled{} 0");
    samples.resize(samples.size() - 2);
    EXPECT_EQ(samples, c.Samples);
}

INSTANTIATE_TEST_SUITE_P(Histories, StatusTable, testing::ValuesIn(StatusCases()),
                         [](const auto& test) { return std::string(test.param.Name); });

TEST(StatusSettings, TheSwitchesShowInTheLinesAndTheMetrics) {
    const TCycleOptions options {.BackupChecksum = true, .BackupVerify = true, .NotifyOnFailure = false};
    const std::vector<TTaskStatus> none;
    EXPECT_EQ(StatusLines(none, options), std::vector<std::string> {"backup checksum on, verify on, failure notices off"});
    const std::vector<std::string> samples = ReadMetrics(PrometheusText(none, options));
    EXPECT_EQ(samples, (std::vector<std::string> {"quorvel_backup_checksum_enabled{} 1",
                                                  "quorvel_backup_verify_enabled{} 1"}));
}

TEST(StatusSchedules, SlotTwoOnlyWhenEnabledAndDifferentAndDelaysWidenTheAllowance) {
    TTaskTable tasks;
    auto add = [&](const char* name, int hour, int minute, bool slot2, int hour2, int minute2, int rar, int send) {
        StoreTestTask(tasks, TestTask([&](TTaskRecord& t) {
            t.TaskName = Utf8ToAnsi(name);
            t.RunHour = hour;
            t.RunMinute = minute;
            t.Bak2Enabled = slot2;
            t.RunHour2 = hour2;
            t.RunMinute2 = minute2;
            t.RarTimeAfter = rar;
            t.SendTimeAfter = send;
        }));
    };
    add("off", 3, 0, false, 4, 0, 30, 60);
    add("two", 3, 0, true, 4, 5, 30, 60);
    add("same", 3, 0, true, 3, 0, 0, 10);
    add("夜间", 24, 0, true, 1, 61, 600, 0);
    const std::vector<TTaskSchedule> s = SchedulesOf(tasks);
    ASSERT_EQ(s.size(), 4u);
    auto times = [](const TTaskSchedule& t) {
        std::vector<std::string> out;
        for (const auto& r : t.RunTimes) out.push_back(std::to_string(r.Hour) + ":" + std::to_string(r.Minute));
        return out;
    };
    EXPECT_EQ(times(s[0]), std::vector<std::string> {"3:0"});
    EXPECT_EQ(times(s[1]), (std::vector<std::string> {"3:0", "4:5"}));
    EXPECT_EQ(times(s[2]), std::vector<std::string> {"3:0"});
    EXPECT_TRUE(s[3].RunTimes.empty()) << "times outside the clock never come";
    EXPECT_EQ(s[3].Name, "夜间");
    EXPECT_EQ(s[0].CycleAllowance, std::chrono::seconds(90) + RecordMargin);
    EXPECT_EQ(s[2].CycleAllowance, std::chrono::seconds(30) + RecordMargin) << "a short send delay waits 30 s";

    const std::vector<TTaskStatus> statuses = ComputeStatus(s, {}, Now);
    EXPECT_FALSE(statuses[3].NextRun);
    EXPECT_FALSE(statuses[3].Overdue());
}

TEST(HistoryText, OneAlignedLinePerRecordUnderAHeading) {
    TRunRecord failed = Record("夜间备份", LocalTime(20, 31, 0), TCycleOutcome::Failed, TCycleStep::Backup);
    failed.Errors = {"Cannot open backup device.\r\nOperating system error 3."};
    failed.NoticeError = "Connection refused";
    const TRunRecord sent = ByCommand(Record("T", LocalTime(21, 0, 0), TCycleOutcome::Sent));
    EXPECT_EQ(HistoryLines({failed, sent}),
              (std::vector<std::string> {
                  "STARTED              TASK      BY        OUTCOME          ARCHIVE  BYTES  PARTS  ERRORS",
                  "2024-05-06 20:31:20  夜间备份  schedule  failed (backup)  -        0      0      Cannot open backup "
                  "device.  Operating system error 3.; notice not sent: Connection refused",
                  "2024-05-06 21:00:20  T         run       sent             a.rar    4096   1"}));
}

// ---------------------------------------------------------------- the notice

TEST(FailureNotice, SubjectBodyAndMessageFields) {
    TLocalDateTime started = ToLocal(LocalTime(20, 31, 12));
    const TFailureNotice notice =
        MakeFailureNotice(Utf8ToAnsi("夜间备份"), started, TCycleStep::Backup,
                          {Utf8ToAnsi("Cannot open backup device 'D:\\bak\\pubs.bak'."), "second"},
                          {Utf8ToAnsi("2024-05-06 20:31:12 开始执行[夜间备份]任务..."),
                           Utf8ToAnsi("2024-05-06 20:31:13 正在备份[pubs]数据库...")});
    EXPECT_EQ(AnsiToUtf8(notice.Subject), "备份失败：夜间备份 2024-05-06 20:31");
    std::vector<std::string> body;
    for (const AnsiString& line : notice.Body) body.push_back(AnsiToUtf8(line));
    EXPECT_EQ(body, (std::vector<std::string> {"任务：夜间备份", "步骤：备份数据库",
                                               "错误：Cannot open backup device 'D:\\bak\\pubs.bak'.", "错误：second",
                                               "2024-05-06 20:31:12 开始执行[夜间备份]任务...",
                                               "2024-05-06 20:31:13 正在备份[pubs]数据库..."}));

    TIdMessage message;
    FillFailureMessage(message, notice, ParseSender("Quorvel <backup@example.com>"), "ops@example.com, a@example.com",
                       "boss@example.com");
    EXPECT_EQ(message.ContentType, "text/plain");
    EXPECT_EQ(message.CharSet, "gb2312");
    EXPECT_EQ(message.From.Address, "backup@example.com");
    auto addresses = [](const TIdEMailAddressList& list) {
        std::vector<std::string> out;
        for (std::size_t i = 0; i < list.Count(); ++i) out.push_back(list[i].Address);
        return out;
    };
    EXPECT_EQ(addresses(message.Recipients), (std::vector<std::string> {"ops@example.com", "a@example.com"}));
    EXPECT_EQ(addresses(message.CCList), std::vector<std::string> {"boss@example.com"});
    EXPECT_TRUE(message.Parts.Empty());
}

TEST(FailureNotice, EachStepHasItsName) {
    const std::vector<std::pair<TCycleStep, std::string>> names {{TCycleStep::Connect, "连接数据库"},
                                                                 {TCycleStep::Backup, "备份数据库"},
                                                                 {TCycleStep::Archive, "压缩"},
                                                                 {TCycleStep::Mail, "发送邮件"}};
    for (const auto& [step, name] : names) EXPECT_EQ(AnsiToUtf8(NoticeStepText(step)), name);
}

} // namespace
