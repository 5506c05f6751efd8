#pragma once
// Whole backup cycles on the simulated loop at a fixed instant, with the
// three real peers: the TDS test server over ODBC/FreeTDS, the archiver (the
// rar stand-in or the built-in quorvelzip) started through Keldor.bat, and
// aiosmtpd receiving the mail.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "pipeline/BackupCycle.h"
#include "platform/Files.h"
#include "settings/StringCipher.h"
#include "tests/peers/SmtpSpoolServer.h"
#include "tests/peers/TdsTestServer.h"
#include "tests/pipeline/PipelineFixture.h"

namespace cycle_fixture {

namespace fs = std::filesystem;
using namespace std::chrono;
using namespace std::chrono_literals;

inline std::string Slurp(const fs::path& path) {
    std::string content;
    ReadWholeFile(path.string(), content);
    return content;
}

class BackupCycleTest : public PipelineFixture {
protected:
    void SetUp() override {
        // Noon of a fixed day, whatever the wall clock says; a test may move it
        // before it adds its task (to 23:58 for a cycle that crosses midnight).
        Anchor = LocalTime(12, 0, 0);
        // Short: the task's folder field holds 50 bytes.
        static int serial = 0;
        Dir = fs::temp_directory_path() / ("qc-" + std::to_string(::getpid()) + "-" + std::to_string(++serial));
        fs::remove_all(Dir);
        fs::create_directories(Dir / "backup");
        // What the server wrote into the task's folder.
        std::ofstream(Dir / "backup" / "pubs.bak") << "backup of pubs";
        OverrideExeFolder(Dir.string());
        const char* path = std::getenv("PATH");
        OldPath = path ? path : "/usr/bin:/bin";
        SetPath(std::string(QUORVEL_PEERS_DIR) + ":" + OldPath); // the rar stand-in first
    }
    void TearDown() override {
        Pipeline.reset();
        OverrideExeFolder("");
        if (!OldPath.empty()) ::setenv("PATH", OldPath.c_str(), 1);
        ::unsetenv("QUORVEL_TEST_NOW");
        std::error_code ec;
        fs::remove_all(Dir, ec);
        PipelineFixture::TearDown();
    }
    static void SetPath(const std::string& path) { ::setenv("PATH", path.c_str(), 1); }

    // `extra`: more lines of section Option. The peers here speak plain SMTP, so
    // by default the config says so; auto would log that the mail went unencrypted.
    // Failure notices are off unless `extra` names them.
    void WriteConfig(int port, const std::string& password = "secret", const AnsiString& sender = "backup@example.com",
                     const std::string& extra = "SmtpSecurity=none\r\n") {
        std::string ini = "[Option]\r\nSmtpServer=127.0.0.1\r\nSmtpPort=" + std::to_string(port) +
                          "\r\nSmtpName=" + sender + "\r\nSmtpUser=backup\r\nSmtpPass=" +
                          CipherText(password, SmtpPasswordKey, true) + "\r\n" + extra;
        if (extra.find("NotifyOnFailure") == std::string::npos) ini += "NotifyOnFailure=0\r\n";
        ASSERT_EQ(ReplaceFileContent((Dir / "config.ini").string(), ini), 0);
    }

    // A task due at the first scan, a minute after the loop's start.
    void AddDueTask(const TTdsTestServer& server, int sendTimeAfter = 60, const std::string& to = "ops@example.com",
                    const std::string& cc = "") {
        const TLocalDateTime due = ToLocal(Anchor + 60s);
        TTaskRow t;
        t.Name = "夜间备份";
        t.Hour = due.Hour;
        t.Minute = due.Minute;
        t.ServerName = server.DataSource();
        t.BakDBName = "pubs";
        t.BakFilePath = (Dir / "backup").string();
        t.RarTimeAfter = 30;
        t.SendTimeAfter = sendTimeAfter;
        AddTask(t);
        Tasks.BeginChangeRecord();
        Tasks.FieldNamed("ToMailAddr").SetAsString(Utf8ToAnsi(to));
        Tasks.FieldNamed("CcMailAddr").SetAsString(Utf8ToAnsi(cc));
        Tasks.FieldNamed("MailTopic").SetAsString(Utf8ToAnsi("备份<FILE> <date>"));
        Tasks.StoreRecord();
    }

    void StartLoop() {
        Loop = std::make_unique<TSimulatedLoop>(Anchor);
        Log.SetClock(Loop->Clock());
        auto cycle = std::make_unique<TBackupCycle>(*Loop, Tasks, Log,
                                                    [this](const AnsiString& m) { Errors.push_back(AnsiToUtf8(m)); });
        Cycle = cycle.get();
        Cycle->HistoryPath = HistoryPath;
        Pipeline = std::move(cycle);
        // The archiver names its archive, and stamps it, by the simulated
        // instant at which the archive step starts it.
        TTimer::THandler archiveStep = Cycle->rarTimer.OnTimer;
        Cycle->rarTimer.OnTimer = [this, archiveStep] {
            ::setenv("QUORVEL_TEST_NOW", FormatDateTime(ToLocal(Loop->Now())).c_str(), 1);
            archiveStep();
        };
    }
    // Runs through the backup and archive steps: the mail timer is armed.
    void RunToMailTimer() {
        ASSERT_TRUE(Loop->RunUntil([&] { return Cycle->sendmailTimer.Enabled(); }, 5min))
            << (Errors.empty() ? "" : Errors.front());
    }
    // No rar anywhere on the search path; quorvelzip beside the program.
    void UseZipArchiver() {
        SetPath(OldPath);
        fs::create_symlink(std::string(QUORVEL_BINARY_DIR) + "/app/quorvelzip", Dir / "quorvelzip");
    }
    // Real time passes while the simulated loop runs the mail step's rechecks,
    // until the step ends (it no longer re-arms itself) or `limit` has passed.
    bool PumpMailStep(seconds limit = 60s) {
        const auto end = steady_clock::now() + limit;
        while (steady_clock::now() < end) {
            Loop->RunFor(10s);
            if (!Cycle->sendmailTimer.Enabled()) return true;
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }
    // Waits (real time) for the archiver to leave `count` archives in bak/.
    std::vector<fs::path> Archives(std::size_t count = 0, const std::string& extension = ".rar") {
        std::vector<fs::path> found;
        const auto end = steady_clock::now() + 10s;
        do {
            found.clear();
            std::error_code ec;
            for (const auto& entry : fs::directory_iterator(Dir / "bak", ec))
                if (entry.path().extension() == extension) found.push_back(entry.path());
            if (found.size() >= count) break;
            std::this_thread::sleep_for(20ms);
        } while (steady_clock::now() < end);
        std::sort(found.begin(), found.end());
        return found;
    }
    // Waits (real time, at most 20 s) until every archiver this cycle started
    // has ended; true when they have.
    bool WaitForArchiver() {
        const auto end = steady_clock::now() + 20s;
        auto running = [&] {
            const auto& started = Cycle->ArchiverWatch.Started();
            return std::any_of(started.begin(), started.end(), [](const TStartedCommand& c) { return !c.Outcome->Exited(); });
        };
        while (running() && steady_clock::now() < end) std::this_thread::sleep_for(10ms);
        return !running();
    }
    // The archiver ends, as it would have long before the send delay passed;
    // the mail step then runs once.
    void RunMailStep() {
        WaitForArchiver();
        ASSERT_TRUE(Loop->RunUntil([&] { return !Cycle->sendmailTimer.Enabled(); }, 5min));
    }
    std::string Today() const { return TBackupCycle::ArchiveDatePrefix(ToLocal(Loop->Now())); }
    // An archive of today left by an earlier cycle, last written `age` ago.
    fs::path PlaceArchive(const std::string& time, seconds age, const std::string& content) {
        fs::create_directories(Dir / "bak");
        fs::path path = Dir / "bak" / (TBackupCycle::ArchiveDatePrefix(ToLocal(Anchor)) + time + ".rar");
        std::ofstream(path) << content;
        timespec times[2];
        times[0].tv_sec = times[1].tv_sec = system_clock::to_time_t(Anchor - age);
        times[0].tv_nsec = times[1].tv_nsec = 0;
        ::utimensat(AT_FDCWD, path.c_str(), times, 0);
        return path;
    }

    TTimePoint Anchor;
    fs::path Dir;
    std::string OldPath;
    TBackupCycle* Cycle = nullptr;
};

} // namespace cycle_fixture
