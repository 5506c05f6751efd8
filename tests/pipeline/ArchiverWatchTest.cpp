// Waiting for the archiver of one cycle: real processes started by the batch
// runner, and the archives they leave in the archive folder.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "pipeline/ArchiverWatch.h"
#include "platform/Files.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

class ArchiverWatchTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("quorvel-watch-" + std::to_string(::getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "bak");
        fs::create_directories(dir_ / "bin");
        std::ofstream(dir_ / "bak" / "20240505203000.zip") << "an earlier cycle's";
        // The archiver stand-in: writes a temporary, renames it, waits for the
        // flag file ("go"), then exits with the status given.
        const fs::path script = dir_ / "bin" / "packer";
        std::ofstream(script) << "#!/bin/sh\n"
                                 "echo part > \"$1/.20240506203200.zip.part.1\"\n"
                                 "mv \"$1/.20240506203200.zip.part.1\" \"$1/20240506203200.zip\"\n"
                                 "echo temp > \"$1/.20240506203200.zip.part.2\"\n"
                                 "while [ ! -e \"$1/../go\" ]; do sleep 0.02; done\n"
                                 "exit $2\n";
        fs::permissions(script, fs::perms::owner_all);
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Starts the stand-in through a batch file, as the archive step does.
    void StartPacker(TArchiverWatch& watch, int exitCode) {
        watch.Begin((dir_ / "bak").string() + "/", ".zip", start_);
        TBatchRunner runner;
        const std::string bat = "path " + (dir_ / "bin").string() + ";%path%\r\npacker " + (dir_ / "bak").string() + " " +
                                std::to_string(exitCode) + "\r\n";
        ASSERT_EQ(runner.StartText(bat), 1);
        watch.Watch(runner.Started());
    }
    bool WaitState(const TArchiverWatch& watch, TArchiverWatch::TState state) {
        for (int i = 0; i < 500; ++i) {
            if (watch.State(start_ + 1min) == state) return true;
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

    fs::path dir_;
    const TTimePoint start_ = std::chrono::system_clock::now();
};

TEST_F(ArchiverWatchTest, RunningUntilTheProcessEndsThenItsStatusDecides) {
    struct Case {
        const char* name;
        int exitCode;
        TArchiverWatch::TState state;
    };
    const Case cases[] = {
        {"success", 0, TArchiverWatch::wsSucceeded},
        {"rar's warning: complete", 1, TArchiverWatch::wsWarning},
        {"failure", 2, TArchiverWatch::wsFailed},
        {"full disk", 5, TArchiverWatch::wsFailed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(dir_ / "go");
        TArchiverWatch watch;
        EXPECT_EQ(watch.State(start_), TArchiverWatch::wsNone);
        StartPacker(watch, c.exitCode);
        for (int i = 0; i < 500 && !fs::exists(dir_ / "bak" / ".20240506203200.zip.part.2"); ++i)
            std::this_thread::sleep_for(10ms);
        EXPECT_EQ(watch.State(start_ + 1min), TArchiverWatch::wsRunning) << "it waits for the flag";
        EXPECT_EQ(watch.State(start_ + 5h + 59min), TArchiverWatch::wsRunning);
        EXPECT_EQ(watch.State(start_ + 6h), TArchiverWatch::wsOverdue);
        std::ofstream(dir_ / "go") << "";
        ASSERT_TRUE(WaitState(watch, c.state));
        EXPECT_EQ(watch.ExitCode(), c.exitCode);
        EXPECT_EQ(watch.NewArchives(), std::vector<std::string>{"20240506203200.zip"})
            << "neither the earlier archive nor a temporary";
        watch.RemoveLeftovers();
        EXPECT_FALSE(fs::exists(dir_ / "bak" / "20240506203200.zip"));
        EXPECT_FALSE(fs::exists(dir_ / "bak" / ".20240506203200.zip.part.2"));
        EXPECT_TRUE(fs::exists(dir_ / "bak" / "20240505203000.zip")) << "what was there before stays";
        watch.Clear();
        EXPECT_EQ(watch.State(start_), TArchiverWatch::wsNone);
    }
}

TEST_F(ArchiverWatchTest, OnlyTheExtensionInUseCounts) {
    TArchiverWatch watch;
    watch.Begin((dir_ / "bak").string() + "/", ".rar", start_);
    std::ofstream(dir_ / "bak" / "20240506203200.RAR") << "x";
    std::ofstream(dir_ / "bak" / "20240506203200.zip") << "x";
    std::ofstream(dir_ / "bak" / "20240506203200.rar.001") << "x";
    EXPECT_EQ(watch.NewArchives(), std::vector<std::string>{"20240506203200.RAR"});
}

} // namespace
