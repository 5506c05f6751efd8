// The minute scan, arming of the archive step and the pause command, on the
// simulated loop. Tasks here have no server, so no database is involved.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "PipelineFixture.h"

using namespace std::chrono;

namespace {

struct TScanCase {
    const char* Name;
    std::vector<TTaskRow> Tasks;
    TTimePoint FirstScanAt;
    const char* Started; // task name, or nullptr when none is due
    int CurRecNo;
};

TTaskRow At(const char* name, int hour, int minute, bool bak2 = false, int hour2 = 0, int minute2 = 0) {
    TTaskRow t;
    t.Name = name;
    t.Hour = hour;
    t.Minute = minute;
    t.Bak2Enabled = bak2;
    t.Hour2 = hour2;
    t.Minute2 = minute2;
    return t;
}

const TScanCase ScanCases[] = {
    {"FirstDueTaskInTableOrderWins", {At("A", 20, 31), At("B", 20, 31)}, LocalTime(20, 31, 10), "A", 1},
    {"LaterRecordDue", {At("A", 20, 0), At("B", 20, 31), At("C", 20, 31)}, LocalTime(20, 31, 10), "B", 2},
    {"SecondSlotWhenEnabled", {At("A", 8, 0, true, 20, 31)}, LocalTime(20, 31, 10), "A", 1},
    {"SecondSlotIgnoredWhenDisabled", {At("A", 8, 0, false, 20, 31)}, LocalTime(20, 31, 10), nullptr, 0},
    {"SecondSlotEqualToFirst", {At("A", 20, 31, true, 20, 31)}, LocalTime(20, 31, 10), "A", 1},
    {"HourMustMatchToo", {At("A", 21, 31), At("B", 8, 31)}, LocalTime(20, 31, 10), nullptr, 0},
    {"SecondsPlayNoPart", {At("A", 20, 31)}, LocalTime(20, 31, 59, 999), "A", 1},
    {"MinuteAfterIsNotDue", {At("A", 20, 31)}, LocalTime(20, 32, 0), nullptr, 0},
    {"Midnight", {At("A", 23, 59), At("B", 0, 0)}, LocalTime(0, 0, 30), "B", 2},
    {"EmptyTable", {}, LocalTime(20, 31, 10), nullptr, 0},
};

class ScanRules : public PipelineFixture, public testing::WithParamInterface<TScanCase> {};

TEST_P(ScanRules, StartsTheFirstDueTask) {
    const TScanCase& c = GetParam();
    for (const TTaskRow& t : c.Tasks)
        AddTask(t);
    Start(c.FirstScanAt - seconds(60));
    Pipeline->bakDone = true;
    Pipeline->mailSent = true;
    Loop->RunFor(seconds(60)); // exactly the first scan

    if (c.Started) {
        EXPECT_EQ(LogTexts(), std::vector<std::string> {std::string("开始执行[") + c.Started + "]任务..."});
        EXPECT_EQ(Pipeline->curRecNo, c.CurRecNo);
        EXPECT_EQ(Tasks.CurrentNumber(), c.CurRecNo) << "the grid shows the due task";
        EXPECT_FALSE(Pipeline->bakDone);
        EXPECT_FALSE(Pipeline->mailSent);
        EXPECT_TRUE(Pipeline->backupTimer.Enabled());
        EXPECT_EQ(Pipeline->backupTimer.Interval(), 1000u);
        EXPECT_FALSE(Pipeline->UpdateTimer.Enabled());
    } else {
        EXPECT_TRUE(LogTexts().empty());
        EXPECT_EQ(Pipeline->curRecNo, 0);
        EXPECT_TRUE(Pipeline->bakDone) << "untouched when nothing is due";
        EXPECT_FALSE(Pipeline->backupTimer.Enabled());
        EXPECT_TRUE(Pipeline->UpdateTimer.Enabled());
        EXPECT_TRUE(Tasks.IsPastEnd());
        EXPECT_EQ(Tasks.CurrentNumber(), static_cast<int>(c.Tasks.size())) << "the grid shows the last task";
    }
    EXPECT_TRUE(Errors.empty());
}

INSTANTIATE_TEST_SUITE_P(Scheduler, ScanRules, testing::ValuesIn(ScanCases),
                         [](const auto& test) { return std::string(test.param.Name); });

using Scheduler = PipelineFixture;

TEST_F(Scheduler, TimersStartWithTheirDesignValues) {
    Start(LocalTime(20, 0, 0));
    EXPECT_TRUE(Pipeline->UpdateTimer.Enabled());
    EXPECT_EQ(Pipeline->UpdateTimer.Interval(), 60000u);
    EXPECT_FALSE(Pipeline->backupTimer.Enabled());
    EXPECT_EQ(Pipeline->backupTimer.Interval(), 1000u);
    EXPECT_FALSE(Pipeline->rarTimer.Enabled());
    EXPECT_FALSE(Pipeline->sendmailTimer.Enabled());
    EXPECT_EQ(Pipeline->sendmailTimer.Interval(), 50000u);
    EXPECT_FALSE(Pipeline->bakDone || Pipeline->bakPaused || Pipeline->mailSent || Pipeline->dbReady);
    EXPECT_EQ(Pipeline->actStop(), TBackupPipeline::RunningState());
}

TEST_F(Scheduler, ScansOncePerMinuteCountedFromStartAndRunsATaskOncePerDay) {
    TTaskRow t = At("A", 20, 31, true, 20, 31);
    t.RarTimeAfter = 0; // the cycle ends after the backup step; the scheduler goes on
    AddTask(t);
    Start(LocalTime(20, 29, 45));
    Loop->RunForMinutes(10);
    EXPECT_EQ(CountLog("开始执行[A]"), 1);
    EXPECT_TRUE(Pipeline->UpdateTimer.Enabled());
    EXPECT_TRUE(Errors.empty());
}

TEST_F(Scheduler, MinuteHeldUpByABlockingHandlerPassesUnseen) {
    AddTask(At("A", 20, 31));
    AddTask(At("B", 20, 32));
    // Scans are due at 20:30:30, 20:31:30, ...; a handler that blocks from
    // 20:31:00 to 20:32:10 holds up the 20:31:30 scan until 20:32:10.
    Start(LocalTime(20, 29, 30));
    TTimer blocker(*Loop, 90000);
    blocker.OnTimer = [&] {
        blocker.SetEnabled(false);
        Loop->Sleep(70000);
    };
    Loop->RunFor(seconds(161));
    EXPECT_EQ(CountLog("开始执行[A]"), 0);
    EXPECT_EQ(CountLog("开始执行[B]"), 1);
}

TEST_F(Scheduler, TaskWithoutServerBacksUpNothingAndArmsTheArchiveStep) {
    TTaskRow t = At("A", 20, 31);
    t.BakDBName = "pubs,northwind";
    t.RarTimeAfter = 45;
    AddTask(t);
    Start(LocalTime(20, 30, 10));
    Loop->RunFor(seconds(61)); // the scan at 20:31:10 and the backup tick a second later
    EXPECT_EQ(LogTexts(), std::vector<std::string> {"开始执行[A]任务..."});
    EXPECT_TRUE(Pipeline->bakDone);
    EXPECT_FALSE(Pipeline->backupTimer.Enabled());
    EXPECT_TRUE(Pipeline->rarTimer.Enabled());
    EXPECT_EQ(Pipeline->rarTimer.Interval(), 45000u);
    EXPECT_EQ(Loop->DueTime(Pipeline->rarTimer), Loop->Now() + seconds(45));
    EXPECT_FALSE(Pipeline->UpdateTimer.Enabled()) << "the cycle goes on with the archive step";
    EXPECT_TRUE(Errors.empty());
}

struct TArchiveDelayCase {
    const char* Name;
    int RarTimeAfter;
    TTimer::TInterval Interval;
    bool SchedulerLive; // minute timer on again because the cycle ends here
};

const TArchiveDelayCase ArchiveDelayCases[] = {
    {"Ordinary", 30, 30000, false},
    {"OneSecond", 1, 1000, false},
    {"ZeroEndsTheCycle", 0, 0, true},
    {"NegativeCountsAsZero", -5, 0, true},
    {"LargeIsKept", 86400, 86400000, false},
};

class ArchiveDelay : public PipelineFixture, public testing::WithParamInterface<TArchiveDelayCase> {};

TEST_P(ArchiveDelay, ArmsRarTimer) {
    TTaskRow t = At("A", 20, 31);
    t.RarTimeAfter = GetParam().RarTimeAfter;
    AddTask(t);
    Start(LocalTime(20, 30, 10));
    Loop->RunFor(seconds(61));
    EXPECT_TRUE(Pipeline->bakDone);
    EXPECT_TRUE(Pipeline->rarTimer.Enabled());
    EXPECT_EQ(Pipeline->rarTimer.Interval(), GetParam().Interval);
    EXPECT_EQ(Pipeline->UpdateTimer.Enabled(), GetParam().SchedulerLive);
    if (GetParam().SchedulerLive) {
        EXPECT_EQ(Loop->DueTime(Pipeline->UpdateTimer), Loop->Now() + seconds(60)) << "scan a minute after the stop";
    }
}

INSTANTIATE_TEST_SUITE_P(Scheduler, ArchiveDelay, testing::ValuesIn(ArchiveDelayCases),
                         [](const auto& test) { return std::string(test.param.Name); });

// ---- the pause command

struct TPausePhase {
    const char* Name;
    // Drives the pipeline into the phase; the task A is due at 20:31, the first scan is at 20:30:30.
    std::function<void(PipelineFixture&, TBackupPipeline&, TSimulatedLoop&)> Enter;
    bool BakDoneAfter;
};

class PauseCommand : public PipelineFixture, public testing::WithParamInterface<TPausePhase> {};

const TPausePhase PausePhases[] = {
    {"Idle", [](PipelineFixture&, TBackupPipeline&, TSimulatedLoop& loop) { loop.RunFor(seconds(45)); }, false},
    {"BackupStepDue",
     [](PipelineFixture&, TBackupPipeline& p, TSimulatedLoop& loop) {
         loop.RunFor(seconds(120)); // scan at 20:31:30
         ASSERT_TRUE(p.backupTimer.Enabled());
     },
     false},
    {"ArchiveStepArmed",
     [](PipelineFixture&, TBackupPipeline& p, TSimulatedLoop& loop) {
         loop.RunFor(seconds(121));
         ASSERT_TRUE(p.rarTimer.Enabled());
     },
     true},
    {"MailStepArmed",
     [](PipelineFixture&, TBackupPipeline& p, TSimulatedLoop& loop) {
         p.InstallStep(p.rarTimer, [&p] {
             p.rarTimer.SetEnabled(false);
             p.ArmStep(p.sendmailTimer, 60000);
         });
         loop.RunFor(seconds(121 + 30));
         ASSERT_TRUE(p.sendmailTimer.Enabled());
     },
     true},
};

TEST_P(PauseCommand, StopsEveryTimerAndResumeRestartsOnlyTheScan) {
    AddTask(At("A", 20, 31));
    AddTask(At("B", 20, 40));
    Start(LocalTime(20, 29, 30));
    int changes = 0;
    Pipeline->OnStopCommandChanged = [&] { ++changes; };
    GetParam().Enter(*this, *Pipeline, *Loop);
    const int recNo = Pipeline->curRecNo;
    const std::size_t logBefore = Log.Lines().size();

    Pipeline->actStopExecute();
    EXPECT_TRUE(Pipeline->bakPaused);
    for (TTimer* timer : {&Pipeline->UpdateTimer, &Pipeline->backupTimer, &Pipeline->rarTimer, &Pipeline->sendmailTimer})
        EXPECT_FALSE(timer->Enabled());
    EXPECT_EQ(Pipeline->actStop(), TBackupPipeline::PausedState());
    EXPECT_EQ(AnsiToUtf8(Pipeline->actStop().Caption), "开始");
    EXPECT_EQ(AnsiToUtf8(Pipeline->actStop().Hint), "开始执行备份任务");
    EXPECT_EQ(Pipeline->actStop().ImageIndex, 8);
    EXPECT_EQ(Pipeline->actStop().RunIndicator, (TRgbColour {255, 0, 0}));
    EXPECT_EQ(changes, 1);

    Loop->RunForMinutes(15); // B's time passes unseen
    EXPECT_EQ(Log.Lines().size(), logBefore);

    Pipeline->actStopExecute();
    EXPECT_FALSE(Pipeline->bakPaused);
    EXPECT_TRUE(Pipeline->UpdateTimer.Enabled());
    EXPECT_EQ(Loop->DueTime(Pipeline->UpdateTimer), Loop->Now() + seconds(60));
    for (TTimer* timer : {&Pipeline->backupTimer, &Pipeline->rarTimer, &Pipeline->sendmailTimer})
        EXPECT_FALSE(timer->Enabled()) << "the abandoned cycle's steps do not come back";
    EXPECT_EQ(AnsiToUtf8(Pipeline->actStop().Caption), "暂停");
    EXPECT_EQ(AnsiToUtf8(Pipeline->actStop().Hint), "暂停执行备份任务");
    EXPECT_EQ(Pipeline->actStop().ImageIndex, 7);
    EXPECT_EQ(Pipeline->actStop().RunIndicator, (TRgbColour {0, 202, 0}));
    EXPECT_EQ(changes, 2);
    EXPECT_EQ(Pipeline->bakDone, GetParam().BakDoneAfter);
    EXPECT_EQ(Pipeline->curRecNo, recNo);
    EXPECT_TRUE(Errors.empty());
}

INSTANTIATE_TEST_SUITE_P(Scheduler, PauseCommand, testing::ValuesIn(PausePhases),
                         [](const auto& test) { return std::string(test.param.Name); });

TEST_F(Scheduler, TaskDueWhileScanRunsPausedIsStoppedAtTheBackupTick) {
    // The mail step can turn the minute timer on again while paused.
    AddTask(At("A", 20, 31));
    Start(LocalTime(20, 30, 10));
    Pipeline->actStopExecute();
    Pipeline->UpdateTimer.SetEnabled(true);
    Loop->RunFor(seconds(62));
    EXPECT_EQ(CountLog("开始执行[A]"), 1);
    EXPECT_FALSE(Pipeline->backupTimer.Enabled());
    EXPECT_FALSE(Pipeline->UpdateTimer.Enabled());
    EXPECT_FALSE(Pipeline->bakDone) << "the step did not run";
    EXPECT_FALSE(Pipeline->rarTimer.Enabled());
    Pipeline->actStopExecute();
    EXPECT_TRUE(Pipeline->UpdateTimer.Enabled());
}

} // namespace
