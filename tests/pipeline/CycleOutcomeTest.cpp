// How whole cycles end: one outcome each, the failure notice mailed to the
// task's recipients, the record in the run history, a task deleted while its
// cycle runs, and run times that passed while another cycle ran.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <thread>

#include "CycleFixture.h"
#include "pipeline/MissedRuns.h"
#include "tests/support/ClosedPort.h"

namespace {

using namespace std::chrono_literals;

// Whole cycles until `done`: the archiver runs in real time, so the virtual
// clock moves on only while it is not running.
class OutcomeTest : public cycle_fixture::BackupCycleTest {
protected:
    bool RunCycles(const std::function<bool()>& done, std::chrono::minutes limit) {
        const TTimePoint end = Loop->Now() + limit;
        while (!done() && Loop->Now() < end) {
            const auto realEnd = std::chrono::steady_clock::now() + 30s;
            while (Cycle->ArchiverWatch.State(Loop->Now()) == TArchiverWatch::wsRunning &&
                   std::chrono::steady_clock::now() < realEnd)
                std::this_thread::sleep_for(10ms);
            Loop->RunFor(1s);
        }
        return done();
    }
};

struct TOutcomeCase {
    const char* Name;
    TTdsServerOptions Database;
    bool SmtpDown;
    int ArchiverExit; // the rar stand-in's exit status
    TCycleOutcome Outcome;
    TCycleStep Step;
    std::string Error; // part of the record's first error
};

void PrintTo(const TOutcomeCase& c, std::ostream* os) { *os << c.Name; }

class CycleOutcome : public OutcomeTest, public testing::WithParamInterface<TOutcomeCase> {};

TEST_P(CycleOutcome, RecordedOnceWithItsNotice) {
    const TOutcomeCase& c = GetParam();
    TTdsTestServer database(c.Database);
    TSmtpSpoolServer smtp;
    const TClosedPort closed;
    ::setenv("QUORVEL_RAR_EXIT", std::to_string(c.ArchiverExit).c_str(), 1);
    WriteConfig(c.SmtpDown ? closed.Port() : smtp.Port(), "secret", "backup@example.com",
                "SmtpSecurity=none\r\nNotifyOnFailure=1\r\n");
    AddDueTask(database, 60, "ops@example.com", "boss@example.com");
    StartLoop();
    ASSERT_TRUE(RunCycles([&] { return !History().empty(); }, 20min));
    ::unsetenv("QUORVEL_RAR_EXIT");

    const std::vector<TRunRecord> history = History();
    ASSERT_EQ(history.size(), 1u) << "one record per cycle";
    const TRunRecord& r = history[0];
    EXPECT_EQ(r.TaskName, "夜间备份");
    EXPECT_EQ(r.Origin, TCycleOrigin::Schedule);
    EXPECT_EQ(r.Planned, Anchor + 60s);
    EXPECT_EQ(r.Outcome, c.Outcome);
    EXPECT_EQ(r.Step, c.Step);
    EXPECT_EQ(r.Databases, std::vector<std::string>{"pubs"});
    EXPECT_EQ(r.Recipients, (std::vector<std::string>{"ops@example.com", "boss@example.com"}));
    EXPECT_TRUE(Cycle->UpdateTimer.Enabled()) << "the scheduler is live again";

    const std::vector<TSpooledMessage> mails = smtp.Messages();
    if (c.Outcome == TCycleOutcome::Sent) {
        EXPECT_TRUE(r.Errors.empty());
        EXPECT_EQ(r.Parts, 1);
        EXPECT_GT(r.ArchiveBytes, 0u);
        EXPECT_EQ(r.Archive.size(), 18u) << r.Archive;
        ASSERT_EQ(mails.size(), 1u) << "the archive and no notice";
        EXPECT_EQ(mails[0].FileName, r.Archive);
        return;
    }
    ASSERT_FALSE(r.Errors.empty());
    EXPECT_NE(r.Errors[0].find(c.Error), std::string::npos) << r.Errors[0];
    if (c.SmtpDown) {
        EXPECT_TRUE(mails.empty());
        EXPECT_NE(r.NoticeError.find("Connection refused"), std::string::npos) << r.NoticeError;
        EXPECT_EQ(CountLog("失败通知无法发送："), 1) << "tried once, not again and again";
        return;
    }
    EXPECT_TRUE(r.NoticeError.empty()) << r.NoticeError;
    ASSERT_EQ(mails.size(), 1u) << "the notice only";
    const TSpooledMessage& notice = mails[0];
    EXPECT_EQ(notice.Recipients, (std::vector<std::string>{"ops@example.com", "boss@example.com"}));
    EXPECT_EQ(notice.Subject, "备份失败：夜间备份 2024-05-06 12:01");
    const std::string body = AnsiToUtf8Lenient(notice.Body);
    const std::string step = AnsiToUtf8(NoticeStepText(c.Step));
    EXPECT_EQ(body.rfind("任务：夜间备份\r\n步骤：" + step + "\r\n错误：", 0), 0u) << body;
    EXPECT_NE(body.find(c.Error), std::string::npos) << body;
    EXPECT_NE(body.find("正在连接数据库[master]..."), std::string::npos) << "the cycle's log lines follow";
}

INSTANTIATE_TEST_SUITE_P(
    Cycle, CycleOutcome,
    testing::Values(
        TOutcomeCase{"Sent", {}, false, 0, TCycleOutcome::Sent, TCycleStep::None, ""},
        TOutcomeCase{"ServerRefusesTheLogin", {.RefuseLogin = true}, false, 0, TCycleOutcome::Failed,
                     TCycleStep::Connect, "Login failed"},
        TOutcomeCase{"BackupFails",
                     {.Rules = {{.Match = "BACKUP", .ErrorNumber = 3201, .ErrorMessage = "Cannot open backup device."}}},
                     false, 0, TCycleOutcome::Failed, TCycleStep::Backup, "Cannot open backup device"},
        TOutcomeCase{"ArchiverFails", {}, false, 2, TCycleOutcome::Failed, TCycleStep::Archive, "压缩失败(退出代码 2)"},
        TOutcomeCase{"MailServerDown", {}, true, 0, TCycleOutcome::Failed, TCycleStep::Mail, "Connection refused"}),
    [](const auto& test) { return std::string(test.param.Name); });

// The task goes while its cycle waits for its next step: the step that finds it
// gone ends the cycle once, and the other tasks run on.
struct TDeletedCase {
    const char* Name;
    bool DuringSendDelay; // else during the archive delay
    TCycleStep Step;
};

void PrintTo(const TDeletedCase& c, std::ostream* os) { *os << c.Name; }

class DeletedTask : public OutcomeTest, public testing::WithParamInterface<TDeletedCase> {};

TEST_P(DeletedTask, EndsTheCycleAtTheStepThatFindsIt) {
    TTdsTestServer database;
    TSmtpSpoolServer smtp;
    WriteConfig(smtp.Port());
    AddDueTask(database);
    StartLoop();
    TTimer& wait = GetParam().DuringSendDelay ? Cycle->sendmailTimer : Cycle->rarTimer;
    ASSERT_TRUE(Loop->RunUntil([&] { return wait.Enabled(); }, 5min));
    if (GetParam().DuringSendDelay) {
        ASSERT_EQ(Archives(1).size(), 1u);
    }
    Tasks.GoToNumber(1);
    Tasks.RemoveRecord();
    RunCycles([] { return false; }, 5min);

    ASSERT_EQ(Errors.size(), 1u) << "found gone once, not at every tick";
    EXPECT_EQ(Errors[0], "Record 1 not found");
    EXPECT_FALSE(Cycle->rarTimer.Enabled());
    EXPECT_FALSE(Cycle->sendmailTimer.Enabled());
    EXPECT_TRUE(Cycle->UpdateTimer.Enabled()) << "the scheduler is live again";
    const std::vector<TRunRecord> history = History();
    ASSERT_EQ(history.size(), 1u);
    EXPECT_EQ(history[0].Outcome, TCycleOutcome::Failed);
    EXPECT_EQ(history[0].Step, GetParam().Step);
    EXPECT_TRUE(smtp.Messages().empty());
}

INSTANTIATE_TEST_SUITE_P(Cycle, DeletedTask,
                         testing::Values(TDeletedCase{"DuringTheArchiveDelay", false, TCycleStep::Archive},
                                         TDeletedCase{"DuringTheSendDelay", true, TCycleStep::Mail}),
                         [](const auto& test) { return std::string(test.param.Name); });

// ---- missed run times

// A: due at 12:01, its mail step at about 12:06. B: due at 12:03.
class CatchUp : public OutcomeTest {
protected:
    void AddTwoTasks(const TTdsTestServer& database) {
        AddDueTask(database, 300);
        TTaskRow b;
        b.Name = "B";
        b.Hour = 12;
        b.Minute = 3;
        b.ServerName = database.DataSource();
        b.BakFilePath = (Dir / "backup").string();
        AddTask(b);
    }
};

TEST_F(CatchUp, ATaskDueDuringAnotherCycleStartsRightAfterIt) {
    TTdsTestServer database;
    TSmtpSpoolServer smtp;
    WriteConfig(smtp.Port());
    AddTwoTasks(database);
    StartLoop();
    ASSERT_TRUE(RunCycles([&] { return History().size() == 2; }, 20min)) << testing::PrintToString(LogTexts());

    const std::vector<std::string> log = LogTexts();
    const auto caughtUp = std::find(log.begin(), log.end(), "补执行[B]任务(计划时间 12:03)");
    ASSERT_NE(caughtUp, log.end()) << testing::PrintToString(log);
    EXPECT_EQ(*std::prev(caughtUp), "<-----------------------------") << "right after the first cycle";
    EXPECT_EQ(CountLog("开始执行[B]"), 0);
    const std::vector<TRunRecord> history = History();
    EXPECT_EQ(history[0].TaskName, "夜间备份");
    EXPECT_EQ(history[1].TaskName, "B");
    EXPECT_EQ(history[1].Origin, TCycleOrigin::CatchUp);
    EXPECT_EQ(history[1].Planned, Anchor + 3min);
    EXPECT_EQ(history[1].Outcome, TCycleOutcome::Sent);
    RunCycles([] { return false; }, 10min);
    EXPECT_EQ(History().size(), 2u) << "caught up once";
    EXPECT_TRUE(Cycle->UpdateTimer.Enabled());
}

TEST_F(CatchUp, PauseDuringTheSpanCatchesNothingUp) {
    TTdsTestServer database;
    TSmtpSpoolServer smtp;
    WriteConfig(smtp.Port());
    AddTwoTasks(database);
    StartLoop();
    RunCycles([] { return false; }, 4min);
    Cycle->actStopExecute(); // pause
    RunCycles([] { return false; }, 1min);
    Cycle->actStopExecute(); // resume
    RunCycles([] { return false; }, 10min);
    EXPECT_EQ(CountLog("补执行"), 0);
    EXPECT_EQ(CountLog("开始执行[B]"), 0);
    EXPECT_TRUE(Cycle->UpdateTimer.Enabled());
}

struct TMissedCase {
    const char* Name;
    std::vector<TScheduledRun> Runs;
    int FromMinute, ToMinute; // minutes after 12:00
    std::vector<std::pair<int, int>> Served;   // record number, minute after 12:00
    std::vector<std::pair<int, int>> Expected; // record number, minute after 12:00
};

void PrintTo(const TMissedCase& c, std::ostream* os) { *os << c.Name; }

TTimePoint Noon(int minutes) { return LocalTime(12, 0, 0) + std::chrono::minutes(minutes); }

class MissedRuns : public testing::TestWithParam<TMissedCase> {};

TEST_P(MissedRuns, EachTaskOnceInTableOrder) {
    const TMissedCase& c = GetParam();
    TServedRuns served;
    for (const auto& [recNo, minute] : c.Served) served[recNo] = Noon(minute);
    std::vector<TMissedRun> expected;
    for (const auto& [recNo, minute] : c.Expected) expected.push_back({recNo, Noon(minute)});
    EXPECT_EQ(FindMissedRuns(c.Runs, Noon(c.FromMinute) + 17s, Noon(c.ToMinute) + 42s, served), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Scheduler, MissedRuns,
    testing::Values(
        TMissedCase{"NothingDue", {{1, 9, 0}}, 1, 30, {}, {}},
        TMissedCase{"TableOrderNotTimeOrder", {{1, 12, 20}, {2, 12, 5}}, 1, 30, {}, {{1, 20}, {2, 5}}},
        TMissedCase{"BothEndsOfTheSpanCount", {{1, 12, 1}, {2, 12, 30}}, 1, 30, {}, {{1, 1}, {2, 30}}},
        TMissedCase{"OutsideTheSpanNot", {{1, 12, 0}, {2, 12, 31}}, 1, 30, {}, {}},
        TMissedCase{"TwoRunTimesGiveOneRun", {{1, 12, 5}, {1, 12, 25}}, 1, 30, {}, {{1, 5}}},
        TMissedCase{"TheStartedRunIsServed", {{1, 12, 1}, {2, 12, 1}}, 1, 30, {{1, 1}}, {{2, 1}}},
        TMissedCase{"ALateRunServesWhatItWasLateFor", {{1, 12, 5}, {1, 12, 25}}, 1, 30, {{1, 10}},
                    {{1, 25}}}),
    [](const auto& test) { return std::string(test.param.Name); });

} // namespace
