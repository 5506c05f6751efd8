// quorvelctl status and history as a monitor and an administrator call them:
// exit status, output and warnings, at a fixed instant.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "pipeline/RunHistory.h"
#include "platform/Files.h"
#include "tasks/TaskFile.h"
#include "tests/pipeline/PipelineFixture.h"
#include "tests/support/ShellRun.h"

namespace fs = std::filesystem;

namespace {

struct TCtl {
    int Status = -1;
    std::vector<std::string> Out;
    std::string Err;
};

class CtlStatusTest : public testing::Test {
protected:
    void SetUp() override {
        Dir = fs::temp_directory_path() / ("qs-" + std::to_string(::getpid()));
        fs::remove_all(Dir);
        fs::create_directories(Dir);
        TTaskTable tasks;
        StoreTestTask(tasks, TestTask([](TTaskRecord& t) { t.TaskName = Utf8ToAnsi("夜间备份"); })); // 20:31
        SaveToFile(tasks, (Dir / "task.ini").string());
        std::ofstream(Dir / "config.ini") << "[Database]\r\nBackupVerify=1\r\n";
    }
    void TearDown() override { fs::remove_all(Dir); }

    void Append(TCycleOutcome outcome, TCycleStep step, int hour) {
        TRunRecord r;
        r.TaskName = "夜间备份";
        r.RecNo = 1;
        r.Planned = LocalTime(hour, 31, 0);
        r.Started = LocalTime(hour, 31, 5);
        r.Ended = LocalTime(hour, 33, 0);
        r.Outcome = outcome;
        r.Step = step;
        r.ArchiveBytes = outcome == TCycleOutcome::Sent ? 2048 : 0;
        TRunHistory((Dir / "history.jsonl").string()).Append(r);
    }

    TCtl Ctl(const std::string& args) {
        const std::string command = "cd '" + Dir.string() + "' && QUORVEL_TEST_NOW='2024-05-06 23:00:00' " +
                                    QUORVEL_BINARY_DIR + "/app/quorvelctl/quorvelctl " + args + " 2>stderr.txt";
        TCtl run;
        const TShellRun shell = RunShell(command);
        run.Status = shell.Status;
        run.Out = SplitLines(shell.Out);
        ReadWholeFile((Dir / "stderr.txt").string(), run.Err);
        return run;
    }

    fs::path Dir;
};

TEST_F(CtlStatusTest, ExitStatusFollowsTheLastOutcomeAndTheMetricsSayTheSame) {
    const std::string files = "task.ini --history history.jsonl --config config.ini";
    TCtl never = Ctl("status " + files);
    EXPECT_EQ(never.Status, 1) << never.Err;
    EXPECT_EQ(never.Out, (std::vector<std::string> {"夜间备份  never  -  next 2024-05-07 20:31  OVERDUE (20:31)",
                                                    "backup checksum off, verify on, failure notices on"}));

    Append(TCycleOutcome::Sent, TCycleStep::None, 20);
    TCtl sent = Ctl("status " + files);
    EXPECT_EQ(sent.Status, 0) << sent.Err;
    ASSERT_FALSE(sent.Out.empty());
    EXPECT_EQ(sent.Out[0], "夜间备份  sent  2024-05-06 20:33  next 2024-05-07 20:31");
    TCtl metrics = Ctl("status " + files + " --prometheus");
    EXPECT_EQ(metrics.Status, 0);
    EXPECT_NE(std::find(metrics.Out.begin(), metrics.Out.end(), "quorvel_last_run_success{task=\"夜间备份\"} 1"),
              metrics.Out.end());
    EXPECT_NE(std::find(metrics.Out.begin(), metrics.Out.end(), "quorvel_backup_verify_enabled 1"), metrics.Out.end());

    Append(TCycleOutcome::Failed, TCycleStep::Mail, 21);
    TCtl failed = Ctl("status " + files + " --prometheus");
    EXPECT_EQ(failed.Status, 1);
    EXPECT_NE(std::find(failed.Out.begin(), failed.Out.end(), "quorvel_last_run_success{task=\"夜间备份\"} 0"),
              failed.Out.end());
}

TEST_F(CtlStatusTest, HistoryFiltersTakesTheLastAndWarnsOfATornLine) {
    Append(TCycleOutcome::Sent, TCycleStep::None, 19);
    Append(TCycleOutcome::Failed, TCycleStep::Backup, 20);
    std::ofstream(Dir / "history.jsonl", std::ios::app) << "{\"task\":\"夜";

    TCtl last = Ctl("history 夜间备份 --last 1 --json --history history.jsonl");
    EXPECT_EQ(last.Status, 0);
    ASSERT_EQ(last.Out.size(), 1u);
    const std::optional<TRunRecord> record = ParseRunRecord(last.Out[0]);
    ASSERT_TRUE(record) << last.Out[0];
    EXPECT_EQ(record->Outcome, TCycleOutcome::Failed);
    EXPECT_NE(last.Err.find("warning"), std::string::npos) << last.Err;

    TCtl text = Ctl("history --history history.jsonl");
    ASSERT_EQ(text.Out.size(), 3u);
    EXPECT_EQ(text.Out[0].rfind("STARTED", 0), 0u);
    EXPECT_NE(text.Out[2].find("failed (backup)"), std::string::npos) << text.Out[2];

    EXPECT_EQ(Ctl("history other --history history.jsonl").Out,
              std::vector<std::string> {"STARTED  TASK  BY  OUTCOME  ARCHIVE  BYTES  PARTS  ERRORS"});
}

TEST_F(CtlStatusTest, UsageErrorsExitTwo) {
    for (const char* args : {"history --last 0", "history --last x", "history a b", "history --prometheus",
                             "status --json", "status --history", "status a b"})
        EXPECT_EQ(Ctl(args).Status, 2) << args;
    EXPECT_EQ(Ctl("status no-such.ini").Status, 1);
}

} // namespace
