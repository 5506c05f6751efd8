// The download procedure of an accepted upgrade on the real-time loop: files
// from the scripted server staged into a temporary program folder, the
// scripted wizard and the boxes, and the hand-over to the real upgrader for
// a running stand-in of the old program.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <memory>

#include "platform/Exception.h"
#include "platform/MessageBox.h"
#include "platform/RealTimeLoop.h"
#include "tests/upgrade/UpgradePeer.h"
#include "tests/upgrade/UpgraderFixture.h"
#include "upgrade/AutoUpgrader.h"
#include "upgrade/UpgradeDownload.h"
#include "upgrade/upgrader/UpgraderNames.h"

using namespace upgrader_test;
using namespace std::chrono_literals;

namespace {

enum TWizardEnd { PressFinish, PressCloseBox };

// The wizard as the procedure sees it: it records what it is told and, on
// its finish page, is closed the way the case says.
class TScriptedWizard : public TauUpgradeWindows {
public:
    TScriptedWizard(TMessageLoop& loop, std::vector<std::string>& events, TWizardEnd end)
        : loop_(loop), events_(events), end_(end) {}

    bool HasDisplay() const override { return true; }
    bool AskUpgrade(const AnsiString&) override {
        events_.push_back("ask");
        return true;
    }
    bool AskPassword(TauAutoUpgrader&) override { return false; }
    void CloseWindows() override {
        if (!shown_)
            return;
        shown_ = false;
        events_.push_back("wizard closed");
        component_->WizardClosed();
    }
    void ShowWizard(TauAutoUpgrader& component) override {
        component_ = &component;
        shown_ = true;
        events_.push_back("wizard");
    }
    bool WizardExists() const override { return shown_; }
    void SetWizardFile(const std::string&, const AnsiString& allFiles) override {
        events_.push_back(AnsiToUtf8(allFiles));
    }
    void ShowFinishPage() override {
        events_.push_back("finish page");
        loop_.Post([this] {
            if (end_ == PressFinish) {
                shown_ = false;
                events_.push_back("finish");
                component_->WizardClosed();
            } else if (ShowMessageBox(auMessage(27), "quorvel", MB_YESNO | MB_ICONQUESTION) == IDYES) {
                component_->AbortUpgrade();
            }
        });
    }

private:
    TMessageLoop& loop_;
    std::vector<std::string>& events_;
    TWizardEnd end_;
    TauAutoUpgrader* component_ = nullptr;
    bool shown_ = false;
};

// The message number a box text was made from, and its caption: "28 错误 #404".
std::string BoxName(const AnsiString& text, const AnsiString& caption) {
    for (int m : {27, 28, 30, 31, 32}) {
        const std::string format = auMessage(m);
        const std::size_t at = format.find("%s");
        const std::string prefix = format.substr(0, at);
        const std::string suffix = at == std::string::npos ? std::string() : format.substr(at + 2);
        if (text.size() >= prefix.size() + suffix.size() && text.compare(0, prefix.size(), prefix) == 0 &&
            text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0)
            return std::to_string(m) + " " + AnsiToUtf8(caption);
    }
    return "? " + AnsiToUtf8Lenient(text);
}

// A body for the peer's routes: every byte as a JSON code point.
std::string JsonBytes(const std::string& bytes) {
    std::string out = "\"";
    for (unsigned char c : bytes) {
        char escaped[8];
        if (c < 0x20 || c >= 0x7f || c == '"' || c == '\\') {
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

const char* const NewData = "new data";
const char* const DataModified = "Wed, 21 Oct 2015 07:28:00 GMT";
constexpr time_t DataModifiedSeconds = 1445412480;

// The files the server offers: the new program (from `programFile`), a data
// file and a few faults.
std::string FileRoutes(const std::string& programFile) {
    return std::string("{") +                                                    //
           "\"/upsoft/quorvel\": {\"body_file\": \"" + programFile + "\"}," //
           "\"/upsoft/data.dat\": {\"body\": \"" + NewData + "\", \"headers\": {\"Last-Modified\": \"" +
           DataModified + "\"}}," //
           "\"/upsoft/page/quorvel\": {\"body\": \"<html><body>Moved</body></html>\"}," //
           "\"/upsoft/cut/data.dat\": {\"body\": \"" + NewData + "\", \"close_after\": 3}" //
           "}";
}

struct TProcedureCase {
    const char* Name;
    // The update-info file; "{files}" stands for the file server's address.
    std::string Info;
    std::vector<TFileSpec> Before = {}; // besides the running old program
    std::vector<std::string> Events = {};
    std::vector<std::string> Boxes = {};
    std::vector<int> Answers = {}; // to the boxes in turn; Yes after these
    std::vector<TFileSpec> After = {}; // besides the old program, when the procedure has ended
    bool Closed = false;
    TWizardEnd End = PressFinish;
    bool NoUpgraderFolder = false;
    bool LocalInfo = false;         // the info file is read from disk
    bool OnlyIfSizeDifferent = false;
    bool BackupRunning = false;     // a backup cycle runs for the first 1.5 s
    std::string Opened = {};        // what the browser was asked to open
    std::string LogLine = {};       // part of a log line expected
};

const std::string ProgramUrl = "#url={files}/upsoft/quorvel\n";
const std::string DataUrl = "#url2={files}/upsoft/data.dat\n";
// The SHA-256 of "new data".
const std::string NewDataSha = "#url2.sha256=d5b7f828235a92d3d280fa08f3ddb9e5b6947123b44091c92db7594aa1408614\n";

void PrintTo(const TProcedureCase& c, std::ostream* out) {
    *out << c.Name;
}

class UpgradeProcedureTest : public testing::TestWithParam<TProcedureCase> {};

TEST_P(UpgradeProcedureTest, StagesHandsOverOrLeavesNothing) {
    const TProcedureCase& c = GetParam();
    THandOverFolders folders;
    const TScratchFolder& scratch = folders.Scratch;
    const std::string& folder = folders.Folder;
    fs::create_directories(scratch.Path() + "bin");
    const std::string opened = scratch.Path() + "opened.txt";
    Create(scratch.Path() + "bin/", Text("xdg-open", "#!/bin/sh\necho \"$@\" >> '" + opened + "'\n", 0755));
    TEnvironmentScope env({{"TMPDIR", scratch.Path() + (c.NoUpgraderFolder ? "missing/" : "tmp/")},
                           {"PATH", scratch.Path() + "bin:" + std::getenv("PATH")},
                           {"QUORVEL_SYSTEM_LOG", scratch.Path() + "system.log"},
                           {WatchTimeVariable, "300"}});
    OverrideExeFolder(c.NoUpgraderFolder ? scratch.Path() + "missing-too/" : folder);

    Create(folder, Program("quorvel", "old"));
    for (const TFileSpec& file : c.Before)
        Create(folder, file);
    TChildProcess old({.Argv = {folder + "quorvel", "--hold"}});

    Create(scratch.Path(), Program("served", "new"));
    TUpdatePeer files(FileRoutes(scratch.Path() + "served"));
    std::string info = c.Info;
    for (std::size_t at; (at = info.find("{files}")) != std::string::npos;)
        info.replace(at, 7, files.Url(""));
    std::string infoUrl;
    std::unique_ptr<TUpdatePeer> infoPeer;
    if (c.LocalInfo) {
        Create(scratch.Path(), Text("quorvel.inf", info));
        infoUrl = "file://" + scratch.Path() + "quorvel.inf";
    } else {
        infoPeer = std::make_unique<TUpdatePeer>("{\"/upsoft/quorvel.inf\": {\"body\": " + JsonBytes(info) + "}}");
        infoUrl = infoPeer->Url("/upsoft/quorvel.inf");
    }

    TRealTimeLoop loop;
    std::vector<std::string> events, boxes, log;
    std::size_t answered = 0;
    TScopedMessageBoxHandler boxHandler([&](const AnsiString& text, const AnsiString& caption, unsigned) {
        boxes.push_back(BoxName(text, caption));
        return answered < c.Answers.size() ? c.Answers[answered++] : IDYES;
    });
    TScriptedWizard wizard(loop, events, c.End);
    TauUpgradeDownload procedure(loop);
    procedure.ProgramPath = folder + "quorvel";
    procedure.WaitPid = old.Pid();
    TauAutoUpgrader upgrader(loop);
    upgrader.SetLanguage(wlChineseSimplified);
    upgrader.Proxy.AccessType = atDirect;
    upgrader.VersionControl = byNumber;
    upgrader.VersionNumber = "2";
    upgrader.ApplicationTitle = "quorvel";
    upgrader.Windows = &wizard;
    upgrader.Procedure = &procedure;
    upgrader.ProgramWritable = [] { return true; };
    upgrader.Timeouts.ReceiveTimeout = 2000;
    upgrader.InfoFileURL = infoUrl;
    if (c.OnlyIfSizeDifferent)
        upgrader.MiscFilesUpgrade = mfuOnlyIfSizeDifferent;
    bool backup = c.BackupRunning;
    TTimer backupEnd(loop, 1500, c.BackupRunning);
    backupEnd.OnTimer = [&] {
        backup = false;
        backupEnd.SetEnabled(false);
    };
    procedure.BackupRunning = [&] { return backup; };
    bool closed = false;
    upgrader.CloseApplication = [&] {
        EXPECT_FALSE(backup) << "closed while a backup ran";
        closed = true;
    };
    upgrader.OnAborted = [&] { events.push_back("aborted"); };
    upgrader.OnLog = [&](const AnsiString& line) { log.push_back(AnsiToUtf8Lenient(line)); };
    upgrader.StartUpdateCheck();

    // The browser stand-in writes outside the loop: look again every 20 ms.
    TTimer look(loop, 20, true);
    ASSERT_TRUE(RunLoopUntil(loop, [&] {
        const bool ended = (!events.empty() && events.back() != "ask" && upgrader.Mode() == TauAutoUpgrader::Idle &&
                            !upgrader.IsTransferRunning());
        return ended || FileExists(opened) || (c.LocalInfo && !log.empty());
    }, 40s));
    RunLoopUntil(loop, [] { return false; }, 200ms);

    EXPECT_EQ(events, c.Events);
    EXPECT_EQ(boxes, c.Boxes);
    EXPECT_EQ(closed, c.Closed);
    std::vector<TFileSpec> after = c.After;
    after.push_back(Program("quorvel", "old"));
    EXPECT_EQ(FolderState(folder), Expected(after));
    if (FileExists(folder + "data.dat.uTMP")) {
        struct stat staged {};
        ASSERT_EQ(::stat((folder + "data.dat.uTMP").c_str(), &staged), 0);
        EXPECT_EQ(staged.st_mtime, DataModifiedSeconds);
    }
    std::string openedText;
    ReadWholeFile(opened, openedText);
    EXPECT_EQ(openedText, c.Opened.empty() ? "" : c.Opened + "\n");
    if (!c.LogLine.empty()) {
        ASSERT_EQ(log.size(), 1u);
        EXPECT_NE(log[0].find(c.LogLine), std::string::npos) << log[0];
    }
    EXPECT_EQ(procedure.UpgraderPid() != 0, c.Closed);

    // The old program ends; a started upgrader puts the new one in place.
    old.Signal(SIGTERM);
    EXPECT_EQ(old.Wait(ChildLimit), 0);
    if (procedure.UpgraderPid() != 0) {
        EXPECT_EQ(WaitForChild(procedure.UpgraderPid()), 0);
        EXPECT_EQ(Describe(folder + "quorvel"), "0755 program new");
        const std::vector<std::string> starts = ReadLines(folder + "starts.log");
        ASSERT_FALSE(starts.empty());
        EXPECT_EQ(starts.back(), "new quorvel /afterupgrade0");
        for (const std::string& entry : FolderState(folder))
            EXPECT_EQ(entry.find(".uTMP"), std::string::npos) << entry;
    }
    SetUpgraderLanguage(wlEnglish);
}

const std::vector<std::string> OneFile = {"ask", "wizard", "当前正在下载:1 of 1"};
const std::vector<std::string> TwoFiles = {"ask", "wizard", "当前正在下载:1 of 2", "当前正在下载:2 of 2"};

std::vector<std::string> Then(std::vector<std::string> events, const std::vector<std::string>& more) {
    events.insert(events.end(), more.begin(), more.end());
    return events;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UpgradeProcedureTest,
    testing::Values(
        TProcedureCase{.Name = "TwoFiles",
                       .Info = "#version=3\n" + ProgramUrl + DataUrl,
                       .Events = Then(TwoFiles, {"finish page", "finish"}),
                       .After = {Program("quorvel.uTMP", "new", "ok", 0600), Text("data.dat.uTMP", NewData, 0600)},
                       .Closed = true},
        TProcedureCase{.Name = "MissingFileSkipped",
                       .Info = "#version=3\n" + ProgramUrl + "#url2={files}/upsoft/gone.dat\n",
                       .Events = Then(TwoFiles, {"finish page", "finish"}),
                       .Boxes = {"28 错误 #404"},
                       .After = {Program("quorvel.uTMP", "new", "ok", 0600)},
                       .Closed = true},
        TProcedureCase{.Name = "MissingFileRefused",
                       .Info = "#version=3\n" + ProgramUrl + "#url2={files}/upsoft/gone.dat\n",
                       .Events = Then(TwoFiles, {"wizard closed", "aborted"}),
                       .Boxes = {"28 错误 #404"},
                       .Answers = {IDNO}},
        TProcedureCase{.Name = "ConnectionLostMidFile",
                       .Info = "#version=3\n" + ProgramUrl + "#url2={files}/upsoft/cut/data.dat\n",
                       .Events = Then(TwoFiles, {"wizard closed"}),
                       .Boxes = {"30 软件升级"}},
        TProcedureCase{.Name = "WrongChecksum",
                       .Info = "#version=3\n" + ProgramUrl + DataUrl + "#url2.sha256=" + std::string(64, '0') + "\n",
                       .Events = Then(TwoFiles, {"wizard closed", "aborted"}),
                       .Boxes = {"31 软件升级"},
                       .LogLine = "data.dat"},
        TProcedureCase{.Name = "WebPageForTheProgram",
                       .Info = "#version=3\n#url={files}/upsoft/page/quorvel\n",
                       .Events = Then(OneFile, {"wizard closed", "aborted"}),
                       .Boxes = {"31 软件升级"},
                       .LogLine = "ELF"},
        TProcedureCase{.Name = "FolderWhereAFileIsStaged",
                       .Info = "#version=3\n" + ProgramUrl + DataUrl,
                       .Before = {Folder("data.dat.uTMP")},
                       .Events = Then(TwoFiles, {"wizard closed", "aborted"}),
                       .Boxes = {"28 错误"},
                       .Answers = {IDNO},
                       .After = {Folder("data.dat.uTMP")},
                       .LogLine = "data.dat.uTMP"},
        TProcedureCase{.Name = "NoFolderForTheUpgrader",
                       .Info = "#version=3\n" + ProgramUrl + DataUrl,
                       .Events = Then(TwoFiles, {"finish page", "finish"}),
                       .Boxes = {"32 软件升级"},
                       .NoUpgraderFolder = true},
        TProcedureCase{.Name = "SameSizeSkipped",
                       .Info = "#version=3\n" + ProgramUrl + DataUrl,
                       .Before = {Text("data.dat", "old data")},
                       .Events = Then(TwoFiles, {"finish page", "finish"}),
                       .After = {Text("data.dat", "old data"), Program("quorvel.uTMP", "new", "ok", 0600)},
                       .Closed = true,
                       .OnlyIfSizeDifferent = true},
        TProcedureCase{.Name = "SameSizeOtherHashDownloaded",
                       .Info = "#version=3\n" + ProgramUrl + DataUrl + NewDataSha,
                       .Before = {Text("data.dat", "old data")},
                       .Events = Then(TwoFiles, {"finish page", "finish"}),
                       .After = {Text("data.dat", "old data"), Program("quorvel.uTMP", "new", "ok", 0600),
                                 Text("data.dat.uTMP", NewData, 0600)},
                       .Closed = true,
                       .OnlyIfSizeDifferent = true},
        TProcedureCase{.Name = "HandOverWaitsForTheBackup",
                       .Info = "#version=3\n" + ProgramUrl + DataUrl,
                       .Events = Then(TwoFiles, {"finish page", "finish"}),
                       .After = {Program("quorvel.uTMP", "new", "ok", 0600), Text("data.dat.uTMP", NewData, 0600)},
                       .Closed = true,
                       .BackupRunning = true,
                       .LogLine = "备份正在进行"},
        TProcedureCase{.Name = "FinishPageClosedByTheCloseBox",
                       .Info = "#version=3\n" + ProgramUrl + DataUrl,
                       .Events = Then(TwoFiles, {"finish page", "wizard closed", "aborted"}),
                       .Boxes = {"27 quorvel"},
                       .End = PressCloseBox},
        TProcedureCase{.Name = "Redirect",
                       .Info = "#version=3\n#method=2\n#url=http://127.0.0.1:1/new.html\n",
                       .Events = {"ask"},
                       .Opened = "http://127.0.0.1:1/new.html"},
        TProcedureCase{.Name = "RedirectToALocalFileRefused",
                       .Info = "#version=3\n#method=2\n#url=file:///etc/passwd\n",
                       .Events = {"ask"},
                       .LocalInfo = true,
                       .LogLine = "file:///etc/passwd"}),
    [](const auto& test) { return std::string(test.param.Name); });

// ---------------------------------------------------------------- the chain

// A program of the project that hands itself over (its own path and process,
// the upgrader from UpgraderImage()) is replaced by the staged version and
// started again with "/afterupgrade0".
TEST(UpgradeChainTest, LaunchUpgraderReplacesTheRunningProgramAndRestartsIt) {
    THandOverFolders folders;
    const TScratchFolder& scratch = folders.Scratch;
    const std::string& folder = folders.Folder;
    const std::string& tmp = folders.Tmp;
    TEnvironmentScope env({{"TMPDIR", tmp},
                           {"QUORVEL_SYSTEM_LOG", scratch.Path() + "system.log"},
                           {WatchTimeVariable, "300"}});
    const std::string chain = ReadAll(QUORVEL_UPGRADE_CHAIN_STANDIN);
    Create(folder, Text("quorvel", chain, 0755));
    Create(folder, Program("quorvel", "new"), StagedSuffix, 0600);

    TChildProcess old({.Argv = {folder + "quorvel", "--launch"}});
    EXPECT_EQ(old.Wait(ChildLimit), 0) << "the hand-over did not close the program";
    std::vector<std::string> starts;
    for (int i = 0; i < 1000 && starts.size() < 2; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        starts = ReadLines(folder + "starts.log");
    }
    EXPECT_EQ(starts, (std::vector<std::string>{"chain quorvel --launch", "new quorvel /afterupgrade0"}));
    // The old file goes once the new program has passed its watch.
    const std::vector<std::string> expected = Expected({Program("quorvel", "new")});
    for (int i = 0; i < 1000 && FolderState(folder) != expected; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(FolderState(folder), expected);
    EXPECT_TRUE(fs::is_empty(tmp)) << "the upgrader's folder stayed";
}

} // namespace
