#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "platform/BatchRunner.h"
#include "platform/Files.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = 10s) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

std::string Slurp(const fs::path& path) {
    std::string content;
    ReadWholeFile(path.string(), content);
    return content;
}

class BatchRunnerTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("quorvel-batch-" + std::to_string(::getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "bin1");
        fs::create_directories(dir_ / "bin2");
        runner_.ErrorSink = [this](const std::string& line) { errors_.push_back(line); };
    }
    void TearDown() override { fs::remove_all(dir_); }

    // An executable /bin/sh script in `folder`.
    void Script(const fs::path& folder, const std::string& name, const std::string& body) {
        fs::path path = folder / name;
        std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
        fs::permissions(path, fs::perms::owner_all);
    }
    // Writes the batch file (code page 936 bytes, CR LF) and starts it.
    int Run(const std::string& ansiText) {
        fs::path bat = dir_ / "Keldor.bat";
        EXPECT_EQ(ReplaceFileContent(bat.string(), ansiText), 0);
        return runner_.Start(bat.string());
    }
    bool Appears(const fs::path& path) { return WaitFor([&] { return fs::exists(path); }); }

    fs::path dir_;
    TBatchRunner runner_;
    std::vector<std::string> errors_;
};

TEST(BatchRunnerSplit, CommandLinesSplitAtBlanksWithQuotesHonoured) {
    struct Case {
        const char* line;
        std::vector<std::string> args;
    };
    const Case cases[] = {
        {"rar a -r -ag /opt/q/bak/ /var/backup/", {"rar", "a", "-r", "-ag", "/opt/q/bak/", "/var/backup/"}},
        {"  rar\t a   b  ", {"rar", "a", "b"}},
        {"rar \"/opt/my tool/bak/\" \"/srv/a b/\"", {"rar", "/opt/my tool/bak/", "/srv/a b/"}},
        {"x \"\" y", {"x", "", "y"}},
        {"x a\"b c\"d", {"x", "ab cd"}},
        {"x 100%%", {"x", "100%"}},
        {"x \"a | b\"", {"x", "a | b"}},
        {"", {}},
    };
    for (const Case& c : cases) EXPECT_EQ(TBatchRunner::SplitCommandLine(c.line), c.args) << c.line;
}

TEST(BatchRunnerSplit, UnsupportedSyntaxIsRefused) {
    for (const char* line : {"x \"open", "x > out", "x | y", "x && y", "x %TEMP%", "x < in"})
        EXPECT_THROW(TBatchRunner::SplitCommandLine(line), EBatchError) << line;
}

TEST_F(BatchRunnerTest, RunsTheArchiveBatchWithTheSearchPathItSets) {
    // The same name in both folders: the first folder of the path line wins.
    Script(dir_ / "bin1", "tool", "printf '%s\\n' \"$@\" > \"$OUT\"; printf '%s' \"$PATH\" > \"$OUT.path\"");
    Script(dir_ / "bin2", "tool", "echo wrong > \"$OUT\"");
    fs::path out = dir_ / "args";
    ::setenv("OUT", out.c_str(), 1);
    std::string oldPath = std::getenv("PATH");
    int started = Run("@Echo off\r\npath " + (dir_ / "bin1").string() + ";" + (dir_ / "bin2").string() +
                      ";%path%\r\ntool a -r -ag \"" + (dir_ / "my bak").string() + "/\" /var/backup/\r\n");
    EXPECT_EQ(started, 1);
    ASSERT_TRUE(Appears(dir_ / "args.path"));
    ASSERT_TRUE(WaitFor([&] { return Slurp(out).size() > 0 && Slurp(dir_ / "args.path").size() > 0; }));
    EXPECT_EQ(Slurp(out), "a\n-r\n-ag\n" + (dir_ / "my bak").string() + "/\n/var/backup/\n");
    // %path% stood for the program's own search path.
    EXPECT_EQ(Slurp(dir_ / "args.path"), (dir_ / "bin1").string() + ":" + (dir_ / "bin2").string() + ":" + oldPath);
    EXPECT_TRUE(errors_.empty());
}

TEST_F(BatchRunnerTest, StartingReturnsAtOnceAndTheCommandRunsDetached) {
    // The command outlives the call by seconds; its pid shows it ran on its own.
    Script(dir_ / "bin1", "slow", "echo $$ > \"$1.pid\"; sleep 1; ps -o sid= -p $$ > \"$1.sid\"; echo done > \"$1\"");
    auto before = std::chrono::steady_clock::now();
    Run("@echo off\r\npath " + (dir_ / "bin1").string() + ";%PATH%\r\nslow " + (dir_ / "flag").string() + "\r\n");
    EXPECT_LT(std::chrono::steady_clock::now() - before, 500ms);
    EXPECT_FALSE(fs::exists(dir_ / "flag"));
    ASSERT_TRUE(Appears(dir_ / "flag"));
    std::string pid = Slurp(dir_ / "flag.pid");
    pid.erase(pid.find_last_not_of("\n ") + 1);
    // A session of its own: the session id is its own pid.
    std::string sid = Slurp(dir_ / "flag.sid");
    EXPECT_EQ(std::string(Trim(sid)), pid);
    // Its exit status is collected: no zombie stays behind.
    EXPECT_TRUE(WaitFor([&] { return !fs::exists("/proc/" + pid); })) << "process " << pid << " was not reaped";
}

TEST_F(BatchRunnerTest, OnlyTheStandardStreamsAreInherited) {
    int fd = ::open(dir_.c_str(), O_RDONLY); // deliberately without O_CLOEXEC
    ASSERT_GE(fd, 3);
    Script(dir_ / "bin1", "probe",
           "if [ -e /proc/$$/fd/" + std::to_string(fd) + " ]; then echo open; else echo closed; fi > \"$1.tmp\"; "
           "mv \"$1.tmp\" \"$1\"");
    Run("path " + (dir_ / "bin1").string() + ";%path%\r\nprobe " + (dir_ / "result").string() + "\r\n");
    ASSERT_TRUE(Appears(dir_ / "result"));
    ::close(fd);
    EXPECT_EQ(Slurp(dir_ / "result"), "closed\n");
}

// Whoever waits for an archiver learns which processes the batch file started
// and how each ended: a normal exit's code, or 128 + the signal that ended it.
TEST_F(BatchRunnerTest, StartedCommandsAreReportedWithHowTheyEnded) {
    struct Case {
        const char* name;
        std::string body;
        int code;
    };
    const Case cases[] = {
        {"success", "exit 0", 0},
        {"rar's warning", "exit 1", 1},
        {"failure after a while", "sleep 0.3; exit 2", 2},
        {"ended by a signal", "kill -TERM $$; sleep 5", 128 + SIGTERM},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Script(dir_ / "bin1", "job", c.body);
        TBatchRunner runner;
        runner.ErrorSink = [this](const std::string& line) { errors_.push_back(line); };
        fs::path bat = dir_ / "job.bat";
        ASSERT_EQ(ReplaceFileContent(bat.string(), "@echo off\r\npath " + (dir_ / "bin1").string() + "\r\njob\r\n"), 0);
        ASSERT_EQ(runner.Start(bat.string()), 1);
        ASSERT_EQ(runner.Started().size(), 1u);
        const TStartedCommand& job = runner.Started()[0];
        EXPECT_GT(job.Pid, 0);
        EXPECT_EQ(job.Program, (dir_ / "bin1" / "job").string());
        EXPECT_EQ(job.Line, 3);
        ASSERT_TRUE(WaitFor([&] { return job.Outcome->Exited(); })) << "never reported as ended";
        EXPECT_EQ(job.Outcome->ExitCode(), c.code);
        EXPECT_TRUE(WaitFor([&] { return !fs::exists("/proc/" + std::to_string(job.Pid)); })) << "not reaped";
    }
    EXPECT_TRUE(errors_.empty());
}

TEST_F(BatchRunnerTest, CommandsThatCouldNotStartAreNotReported) {
    EXPECT_EQ(Run("no-such-program-here a\r\n"), 0);
    EXPECT_TRUE(runner_.Started().empty());
}

// The private channels for an archive password: the environment (as rar reads
// its default switches) and a pipe on descriptor 3, read to its end. Neither
// shows on the command line, and each command gets a pipe of its own.
TEST_F(BatchRunnerTest, SecretsGoByEnvironmentAndDescriptorThreeOnly) {
    Script(dir_ / "bin1", "probe",
           "out=\"$1\"; cat <&3 > \"$out.fd3\"; printf '%s' \"$RAR\" > \"$out.env\"; "
           "printf '%s' \"$KEEP\" > \"$out.keep\"; tr '\\0' ' ' < /proc/$$/cmdline > \"$out.cmd\"; "
           "if [ -e /proc/$$/fd/4 ]; then echo open; else echo closed; fi > \"$out.fd4\"; touch \"$out.done\"");
    ::setenv("RAR", "-inherited", 1);
    ::setenv("KEEP", "kept", 1);
    runner_.Environment = {"RAR=-hpS3cret word"};
    runner_.SecretInput = "S3cret word\n";
    const std::string one = (dir_ / "one").string(), two = (dir_ / "two").string();
    EXPECT_EQ(Run("path " + (dir_ / "bin1").string() + ";%path%\r\nprobe " + one + "\r\nprobe " + two + "\r\n"), 2);
    ::unsetenv("RAR");
    ::unsetenv("KEEP");
    for (const std::string& out : {one, two}) {
        SCOPED_TRACE(out);
        ASSERT_TRUE(Appears(out + ".done"));
        EXPECT_EQ(Slurp(out + ".fd3"), "S3cret word\n");
        EXPECT_EQ(Slurp(out + ".env"), "-hpS3cret word") << "ours replaces the program's own";
        EXPECT_EQ(Slurp(out + ".keep"), "kept");
        EXPECT_EQ(Slurp(out + ".fd4"), "closed\n");
        EXPECT_EQ(Slurp(out + ".cmd").find("S3cret"), std::string::npos);
    }
    EXPECT_TRUE(errors_.empty());
}

TEST_F(BatchRunnerTest, OtherLinesAreReportedAndSkipped) {
    Script(dir_ / "bin1", "mark", "touch \"$1\"");
    std::string mark = (dir_ / "bin1" / "mark").string();
    int started = Run("@ECHO OFF\r\n"
                      "rem a comment\r\n"
                      ":: another\r\n"
                      "\r\n"
                      "echo hello\r\n"
                      "set X=1\r\n"
                      "no-such-program-here x\r\n" +
                      mark + " " + (dir_ / "a").string() + " > log\r\n" +
                      mark + " \"" + (dir_ / "b").string() + "\r\n" +
                      mark + " " + (dir_ / "c").string() + "\r\n" + "path\r\n");
    EXPECT_EQ(started, 1);
    ASSERT_TRUE(Appears(dir_ / "c"));
    ASSERT_EQ(errors_.size(), 6u);
    const char* expected[] = {"line 5: unsupported command: echo hello",
                              "line 6: unsupported command: set X=1",
                              "line 7: program not found on the search path: no-such-program-here x",
                              "line 8: pipes and redirections are not supported",
                              "line 9: unterminated double quote",
                              "line 11: a search path is expected: path"};
    for (std::size_t i = 0; i < errors_.size(); ++i) EXPECT_EQ(errors_[i].rfind(expected[i], 0), 0u) << errors_[i];
    EXPECT_FALSE(fs::exists(dir_ / "a"));
    EXPECT_FALSE(fs::exists(dir_ / "b"));
}

TEST_F(BatchRunnerTest, TextInCodePage936ReachesTheCommandAsUtf8) {
    Script(dir_ / "bin1", "mark", "touch \"$1\"");
    fs::path target = dir_ / "备份 完成";
    Run("path " + (dir_ / "bin1").string() + ";%path%\r\nmark \"" + Utf8ToAnsi(target.string()) + "\"\r\n");
    EXPECT_TRUE(Appears(target));
    EXPECT_TRUE(errors_.empty());
}

TEST_F(BatchRunnerTest, AnUnreadableBatchFileRaises) {
    EXPECT_THROW(runner_.Start((dir_ / "missing.bat").string()), EBatchError);
}

// A folder holding a line feed, quoted in the rar line: what follows the line
// feed is still the operand, never a command of its own.
TEST_F(BatchRunnerTest, ALineFeedInsideAQuotedOperandRunsNothing) {
    Script(dir_ / "bin1", "rar", "touch \"$5.ran\"");
    const std::string pwned = (dir_ / "PWNED").string();
    const std::string path = "path " + (dir_ / "bin1").string() + ";%path%\r\n";
    struct Case {
        const char* name;
        std::string line;
    };
    const Case cases[] = {
        {"command after the line feed", "rar a -r -ag bak/ \"/srv/s\nsh -c \"touch " + pwned + "\" \"/\"\r\n"},
        {"bare carriage return", "rar a -r -ag bak/ \"/srv/s\rsh -c \"touch " + pwned + "\" \"/\"\r\n"},
        {"line feed, then the quote closed", "rar a -r -ag bak/ \"/srv/s\ntouch " + pwned + "\"\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        errors_.clear();
        EXPECT_EQ(Run("@Echo off\r\n" + path + c.line + "rar a b c d " + (dir_ / "after").string() + "\r\n"), 1);
        ASSERT_TRUE(Appears(dir_ / "after.ran")) << "the lines after it still run";
        fs::remove(dir_ / "after.ran");
        EXPECT_FALSE(fs::exists(pwned));
        ASSERT_EQ(errors_.size(), 1u);
        EXPECT_EQ(errors_[0].rfind("line 3: a line break inside a quoted operand", 0), 0u) << errors_[0];
    }
    EXPECT_FALSE(fs::exists(dir_ / "bak"));
}

TEST(BatchRunnerSplit, LinesEndAtLineFeedsOutsideQuotesAndAtEveryCrLf) {
    struct Case {
        const char* text;
        std::vector<std::string> lines;
        std::vector<bool> refused;
    };
    const Case cases[] = {
        {"a\r\nb\nc", {"a", "b", "c"}, {false, false, false}},
        {"a \"x\r\nb", {"a \"x", "b"}, {false, false}}, // unterminated: RunLine says so
        {"a \"x\ny\" z\r\nb", {"a \"x\ny\" z", "b"}, {true, false}},
        {"rem don't \"quote\nb", {"rem don't \"quote", "b"}, {false, false}},
        {"", {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::vector<std::string> lines;
        std::vector<bool> refused;
        for (const auto& line : TBatchRunner::SplitBatchLines(c.text)) {
            lines.push_back(line.Text);
            refused.push_back(line.BreakInQuotes);
        }
        EXPECT_EQ(lines, c.lines);
        EXPECT_EQ(refused, c.refused);
    }
}

} // namespace
