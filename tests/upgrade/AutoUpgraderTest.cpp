// The update check with scripted windows against the scripted server: the
// events in order, the boxes each ShowMessages set shows, and the
// auto-check timer on the simulated loop.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "platform/Exception.h"
#include "platform/ExceptionReport.h"
#include "platform/MessageBox.h"
#include "platform/SimulatedLoop.h"
#include "tests/upgrade/UpgradePeer.h"
#include "upgrade/AutoUpgrader.h"

namespace {

using namespace std::chrono_literals;

class TScriptedWindows : public TauUpgradeWindows {
public:
    explicit TScriptedWindows(std::vector<std::string>& events) : events_(events) {}
    bool Display = true;
    bool Yes = true;
    bool PasswordOk = true;

    bool HasDisplay() const override { return Display; }
    bool AskUpgrade(const AnsiString& question) override {
        events_.push_back("ask");
        Question = question;
        return Yes;
    }
    bool AskPassword(TauAutoUpgrader& component) override {
        events_.push_back("askpassword");
        if (!PasswordOk) return false;
        component.HTTPUsername = "reg";
        component.HTTPPassword = "s3cret";
        return true;
    }
    void CloseWindows() override { events_.push_back("close"); }
    AnsiString Question;

private:
    std::vector<std::string>& events_;
};

class TRecordingProcedure : public TauUpgradeProcedure {
public:
    explicit TRecordingProcedure(std::vector<std::string>& events) : events_(events) {}
    void DownloadNextFile(TauAutoUpgrader& component, bool Starting) override {
        events_.push_back("download " + std::to_string(Starting) + " " + std::to_string(component.URLList().size()));
    }
    void OpenURL(TauAutoUpgrader&, const std::string& url) override { events_.push_back("open " + url); }

private:
    std::vector<std::string>& events_;
};

struct TBox {
    std::string Text, Caption;
};

// One component wired to recorders, its version 2.2.0.0 by number.
struct TRig {
    TRealTimeLoop Loop;
    std::vector<std::string> Events;
    std::vector<TBox> Boxes;
    std::vector<std::string> LogLines;
    std::vector<std::string> Errors;
    TScriptedWindows Windows{Events};
    TRecordingProcedure Procedure{Events};
    TScopedMessageBoxHandler BoxHandler{[this](const AnsiString& text, const AnsiString& caption, unsigned) {
        Boxes.push_back({text, caption});
        return IDOK;
    }};
    TScopedExceptionHandler ErrorHandler{[this](const AnsiString& m) { Errors.push_back(m); }};
    std::unique_ptr<TauAutoUpgrader> Upgrader = std::make_unique<TauAutoUpgrader>(Loop);
    bool Ended = false;

    TRig() {
        TauAutoUpgrader& u = *Upgrader;
        u.Proxy.AccessType = atDirect;
        u.VersionControl = byNumber;
        u.VersionNumber = "2.2.0.0";
        u.ApplicationTitle = "quorvel";
        u.Windows = &Windows;
        u.Procedure = &Procedure;
        u.ProgramWritable = [] { return true; };
        u.Timeouts.ReceiveTimeout = 1000;
        u.OnLog = [this](const AnsiString& line) { LogLines.push_back(AnsiToUtf8Lenient(line)); };
        u.OnBeginUpgrade = [this](const AnsiString&, TacUpgradeMethod method, const std::vector<std::string>& files,
                                  bool&) {
            Events.push_back("begin " + std::to_string(method) + " " + std::to_string(files.size()));
        };
        u.OnLaterUpgrade = [this] { End("later"); };
        u.OnNoUpdateAvailable = [this] { End("noupdate"); };
        u.OnNoInfoFile = [this] { End("noinfofile"); };
        u.OnHostUnreachable = [this](const std::string&, const std::string& host) { End("unreachable " + host); };
        u.OnConnLost = [this] { End("connlost"); };
        u.OnAborted = [this] { End("aborted"); };
        u.OnPasswordRequest = [this](const AnsiString& realm, bool&) { Events.push_back("password " + realm); };
    }
    void End(const std::string& event) {
        Events.push_back(event);
        Ended = true;
    }
    // The accepted offer reached the download or the browser.
    bool HandedOver() const {
        return !Events.empty() && (Events.back().rfind("download", 0) == 0 || Events.back().rfind("open", 0) == 0);
    }
    // Runs until an ending event and whatever the same delivery still does.
    void RunCheck() {
        ASSERT_TRUE(RunLoopUntil(Loop, [this] { return Ended || HandedOver(); }, 40s));
        RunLoopUntil(Loop, [] { return false; }, 100ms);
    }
};

const char* const Newer = "#version=3.0\n#url=http://127.0.0.1/upsoft/quorvel.exe\n#message={Faster}\n";

struct TCheckCase {
    const char* Name;
    std::string Routes = {};
    TauAutoUpgraderShowMessages Show = {};
    std::vector<std::string> Events = {};
    std::vector<int> Boxes = {}; // message numbers
    bool Display = true;
    bool Yes = true;
    bool PasswordOk = true;
    std::string LogLine = {}; // part of the one log line expected ("" none)
};

std::string Info(const std::string& body) {
    std::string escaped;
    for (char c : body) escaped += c == '\n' ? std::string("\\n") : std::string(1, c);
    return R"({"/upsoft/quorvel.inf": {"body": ")" + escaped + R"("}})";
}

class UpdateCheckTest : public testing::TestWithParam<TCheckCase> {};

TEST_P(UpdateCheckTest, EventsAndBoxes) {
    const TCheckCase& c = GetParam();
    TUpdatePeer peer(c.Routes);
    TRig rig;
    rig.Windows.Display = c.Display;
    rig.Windows.Yes = c.Yes;
    rig.Windows.PasswordOk = c.PasswordOk;
    rig.Upgrader->ShowMessages = c.Show;
    rig.Upgrader->InfoFileURL = std::string(c.Name).rfind("Unreachable", 0) == 0 ? "127.0.0.1:1/upsoft/quorvel.inf"
                                                                     : peer.Url("/upsoft/quorvel.inf");
    ASSERT_TRUE(rig.Upgrader->StartUpdateCheck());
    rig.RunCheck();
    EXPECT_EQ(rig.Events, c.Events);
    std::vector<std::string> expectedBoxes;
    for (int m : c.Boxes) {
        expectedBoxes.push_back(m == 26 ? Format(auMessage(26).c_str(), "http://127.0.0.1") : auMessage(m));
    }
    std::vector<std::string> boxes;
    for (const TBox& box : rig.Boxes) {
        boxes.push_back(box.Text);
        EXPECT_EQ(box.Caption, auMessage(0));
    }
    EXPECT_EQ(boxes, expectedBoxes);
    if (c.LogLine.empty()) {
        EXPECT_TRUE(rig.LogLines.empty());
    } else {
        ASSERT_EQ(rig.LogLines.size(), 1u);
        EXPECT_NE(rig.LogLines[0].find(c.LogLine), std::string::npos) << rig.LogLines[0];
    }
    EXPECT_TRUE(rig.Errors.empty());
    EXPECT_EQ(rig.Upgrader->Mode(), TauAutoUpgrader::Idle);
}

constexpr TauAutoUpgraderShowMessages All = 127;

INSTANTIATE_TEST_SUITE_P(
    Cases, UpdateCheckTest,
    testing::Values(
        TCheckCase{.Name = "UpToDate", .Routes = Info("#version=2.2.0.0\n#url=http://h/q.exe\n"),
                   .Show = DefaultShowMessages, .Events = {"noupdate"}},
        TCheckCase{.Name = "UpToDateWithBox", .Routes = Info("#version=2.2\n#url=http://h/q.exe\n"), .Show = All,
                   .Events = {"noupdate"}, .Boxes = {24}},
        TCheckCase{.Name = "NewerWithoutFiles", .Routes = Info("#version=3.0\n"), .Show = DefaultShowMessages,
                   .Events = {"noupdate"}},
        TCheckCase{.Name = "NoInfoFile", .Routes = "{}", .Show = DefaultShowMessages, .Events = {"noinfofile"}},
        TCheckCase{.Name = "NoInfoFileWithBox", .Routes = "{}", .Show = All, .Events = {"noinfofile"}, .Boxes = {25}},
        TCheckCase{.Name = "Unreachable", .Routes = "{}", .Show = DefaultShowMessages,
                   .Events = {"unreachable 127.0.0.1", "close"}},
        TCheckCase{.Name = "UnreachableWithBox", .Routes = "{}", .Show = All,
                   .Events = {"unreachable 127.0.0.1", "close"}, .Boxes = {26}},
        TCheckCase{.Name = "ConnectionLost",
                   .Routes = R"({"/upsoft/quorvel.inf": {"body": "#version=3.0\n#url=http://h/q.exe\n", "close_after": 5}})",
                   .Show = DefaultShowMessages, .Events = {"connlost", "close"}, .Boxes = {30}},
        TCheckCase{.Name = "ConnectionLostSilent",
                   .Routes = R"({"/upsoft/quorvel.inf": {"body": "#version=3.0\n#url=http://h/q.exe\n", "close_after": 5}})",
                   .Show = 0, .Events = {"connlost", "close"}},
        TCheckCase{.Name = "NewerAccepted", .Routes = Info(Newer), .Show = DefaultShowMessages,
                   .Events = {"begin 0 1", "ask", "download 1 1"}},
        TCheckCase{.Name = "NewerWithoutQuestion", .Routes = Info(Newer), .Show = 0,
                   .Events = {"begin 0 1", "download 1 1"}},
        TCheckCase{.Name = "NewerDeclined", .Routes = Info(Newer), .Show = DefaultShowMessages,
                   .Events = {"begin 0 1", "ask", "later"}, .Yes = false},
        TCheckCase{.Name = "NewerWebPage", .Routes = Info("#version=3\n#method=2\n#url=http://h/new.html\n"),
                   .Show = DefaultShowMessages, .Events = {"begin 2 1", "ask", "open http://h/new.html"}},
        TCheckCase{.Name = "NewerWithoutDisplay", .Routes = Info(Newer), .Show = DefaultShowMessages,
                   .Events = {"begin 0 1", "later"}, .Display = false, .LogLine = "发现新版本 3.0"},
        TCheckCase{.Name = "NewerReplacingTasks", .Routes = Info("#version=3.0\n#url=http://h/task.ini\n"),
                   .Show = All, .Events = {"noinfofile"}, .Boxes = {25}, .LogLine = "task.ini"},
        TCheckCase{.Name = "InfoFileTooLarge",
                   .Routes = R"({"/upsoft/quorvel.inf": {"body": "#version=3", "length": 20000000}})",
                   .Show = DefaultShowMessages, .Events = {"noinfofile"}, .LogLine = "20000000"},
        TCheckCase{.Name = "PasswordGiven",
                   .Routes = R"({"/upsoft/quorvel.inf": {"realm": "Updates", "user": "reg", "password": "s3cret", "body": "#version=3\n#url=http://h/q.exe\n"}})",
                   .Show = DefaultShowMessages,
                   .Events = {"password Updates", "askpassword", "begin 0 1", "ask", "download 1 1"}},
        TCheckCase{.Name = "PasswordCancelled",
                   .Routes = R"({"/upsoft/quorvel.inf": {"realm": "Updates", "user": "reg", "password": "s3cret", "body": "x"}})",
                   .Show = DefaultShowMessages, .Events = {"password Updates", "askpassword", "close", "aborted"},
                   .PasswordOk = false},
        TCheckCase{.Name = "PasswordWithoutWindow",
                   .Routes = R"({"/upsoft/quorvel.inf": {"realm": "Updates", "user": "reg", "password": "s3cret", "body": "x"}})",
                   .Show = 0, .Events = {"password Updates", "noinfofile"}}),
    [](const auto& test) { return std::string(test.param.Name); });

TEST(UpdateCheckTest, QuestionCarriesTitleAndMessage) {
    TUpdatePeer peer(Info(Newer));
    TRig rig;
    rig.Upgrader->InfoFileURL = peer.Url("/upsoft/quorvel.inf");
    ASSERT_TRUE(rig.Upgrader->StartUpdateCheck());
    rig.RunCheck();
    EXPECT_EQ(rig.Windows.Question, UpgradeQuestionText("quorvel", "Faster"));
}

TEST(UpdateCheckTest, AcceptedOfferWithoutDownloadIsReportedAndStops) {
    TUpdatePeer peer(Info(Newer));
    TRig rig;
    rig.Upgrader->Procedure = nullptr;
    rig.Upgrader->InfoFileURL = peer.Url("/upsoft/quorvel.inf");
    ASSERT_TRUE(rig.Upgrader->StartUpdateCheck());
    ASSERT_TRUE(RunLoopUntil(rig.Loop, [&] { return !rig.Errors.empty(); }));
    RunLoopUntil(rig.Loop, [] { return false; }, 100ms);
    EXPECT_EQ(rig.Errors, (std::vector<std::string>{"Downloading the new version is not available in this build"}));
    EXPECT_EQ(rig.Events, (std::vector<std::string>{"begin 0 1", "ask", "close"}));
}

TEST(UpdateCheckTest, SecondCheckWhileRunningStartsNothing) {
    TUpdatePeer peer(R"({"/upsoft/quorvel.inf": {"body": "#version=1\n", "trickle": 0.05}})");
    TRig rig;
    rig.Upgrader->InfoFileURL = peer.Url("/upsoft/quorvel.inf");
    ASSERT_TRUE(rig.Upgrader->StartUpdateCheck());
    EXPECT_FALSE(rig.Upgrader->StartUpdateCheck());
    rig.RunCheck();
    EXPECT_EQ(rig.Events, (std::vector<std::string>{"noupdate"}));
    EXPECT_FALSE(peer.NextRequest().empty());
    EXPECT_TRUE(peer.NextRequest(500).empty()) << "one request only";
}

TEST(UpdateCheckTest, InfoRequestAsksCachesToRevalidate) {
    TUpdatePeer peer(Info("#version=1\n"));
    TRig rig;
    rig.Upgrader->UseCache = true; // the info mode switches it off
    rig.Upgrader->InfoFileURL = peer.Url("/upsoft/quorvel.inf");
    ASSERT_TRUE(rig.Upgrader->StartUpdateCheck());
    rig.RunCheck();
    const std::string request = peer.NextRequest();
    EXPECT_NE(request.find("\"cache-control\": \"no-cache\""), std::string::npos) << request;
    EXPECT_NE(request.find("\"pragma\": \"no-cache\""), std::string::npos) << request;
}

TEST(UpdateCheckTest, ByDate) {
    TUpdatePeer peer(Info("#date=04/16/2010\n#url=http://h/q.exe\n"));
    TRig rig;
    rig.Upgrader->VersionControl = byDate;
    rig.Upgrader->VersionDate = "04/15/2010";
    rig.Upgrader->InfoFileURL = peer.Url("/upsoft/quorvel.inf");
    ASSERT_TRUE(rig.Upgrader->StartUpdateCheck());
    rig.RunCheck();
    EXPECT_EQ(rig.Events, (std::vector<std::string>{"begin 0 1", "ask", "download 1 1"}));
}

TEST(UpdateCheckTest, DestroyedWhileFetching) {
    TUpdatePeer peer(R"({"/upsoft/quorvel.inf": {"body": "#version=9\n#url=http://h/q.exe\n", "trickle": 0.2}})");
    TRig rig;
    rig.Upgrader->InfoFileURL = peer.Url("/upsoft/quorvel.inf");
    ASSERT_TRUE(rig.Upgrader->StartUpdateCheck());
    EXPECT_FALSE(peer.NextRequest().empty());
    rig.Upgrader.reset();
    RunLoopUntil(rig.Loop, [] { return false; }, 500ms);
    EXPECT_TRUE(rig.Events.empty());
}

TEST(RestartParamsTest, EmptyIsStoredAsBlank) {
    TRealTimeLoop loop;
    TauAutoUpgrader upgrader(loop);
    EXPECT_EQ(upgrader.RestartParams(), "/afterupgrade");
    EXPECT_EQ(upgrader.ShowMessages, 75u);
    upgrader.SetRestartParams("");
    EXPECT_EQ(upgrader.RestartParams(), " ");
    bool restarted = false;
    upgrader.OnAfterRestart = [&] { restarted = true; };
    upgrader.Loaded("/afterupgrade0");
    EXPECT_FALSE(restarted);
    upgrader.Loaded(" ");
    EXPECT_TRUE(restarted);
}

// What the upgrader restarts the program with: RestartParams, the method
// digit appended, split at blanks.
TEST(RestartParamsTest, AfterRestartFiresForWhatTheUpgraderPasses) {
    TRealTimeLoop loop;
    TauAutoUpgrader upgrader(loop);
    struct TArgumentCase {
        std::string RestartParams, FirstArgument;
        bool Fires;
    };
    const TArgumentCase cases[] = {
        {"/afterupgrade", "/afterupgrade0", true}, {"/afterupgrade", "/afterupgrade1", true},
        {"/afterupgrade", "/afterupgrade", true},  {"/afterupgrade", "/afterupgrade2", false},
        {"/afterupgrade", "", false},              {"/a /b", "/a", true},
        {"/a /b", "/b0", false},
    };
    for (const TArgumentCase& c : cases) {
        bool restarted = false;
        upgrader.SetRestartParams(c.RestartParams);
        upgrader.OnAfterRestart = [&] { restarted = true; };
        upgrader.Loaded(c.FirstArgument);
        EXPECT_EQ(restarted, c.Fires) << c.RestartParams << " / " << c.FirstArgument;
    }
}

// ---------------------------------------------------------------- auto-check timer

// Lets the worker's deliveries reach the simulated loop (they arrive in real time).
bool ServeUntil(TSimulatedLoop& loop, const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (!condition() && std::chrono::steady_clock::now() < deadline) {
        loop.ProcessMessages();
        std::this_thread::sleep_for(5ms);
    }
    return condition();
}

TEST(AutoCheckTest, WaitsForTheNetworkThenChecksOnce) {
    TUpdatePeer peer(Info("#version=1\n"));
    TSimulatedLoop loop;
    std::vector<TBox> boxes;
    TScopedMessageBoxHandler boxHandler([&](const AnsiString& text, const AnsiString& caption, unsigned) {
        boxes.push_back({text, caption});
        return IDOK;
    });
    TauAutoUpgrader upgrader(loop);
    upgrader.Proxy.AccessType = atDirect;
    upgrader.VersionControl = byNumber;
    upgrader.VersionNumber = "2";
    upgrader.ShowMessages = 127;
    upgrader.InfoFileURL = peer.Url("/upsoft/quorvel.inf");
    bool online = false;
    int tests = 0;
    upgrader.OnlineTest = [&] {
        ++tests;
        return online;
    };
    int noUpdate = 0;
    upgrader.OnNoUpdateAvailable = [&] { ++noUpdate; };
    upgrader.SetAutoCheck(true);
    loop.RunFor(35s);
    EXPECT_EQ(tests, 3); // every 10 s
    EXPECT_FALSE(upgrader.IsTransferRunning());
    EXPECT_TRUE(upgrader.AutoCheckTimer().Enabled());

    online = true;
    loop.RunFor(10s);
    EXPECT_EQ(tests, 4);
    EXPECT_TRUE(upgrader.AutoCheckInProgress());
    EXPECT_TRUE(upgrader.StartedByTimer());
    EXPECT_FALSE(upgrader.AutoCheckTimer().Enabled());
    ASSERT_TRUE(ServeUntil(loop, [&] { return noUpdate == 1; }));
    EXPECT_TRUE(boxes.empty()) << "a check of the timer shows no 'no newer version' box";
    loop.RunFor(60s);
    EXPECT_EQ(tests, 4) << "not armed again after a check that reached the host";
    EXPECT_EQ(peer.NextRequest().empty(), false);
    EXPECT_TRUE(peer.NextRequest(300).empty());
}

TEST(AutoCheckTest, UnreachableHostArmsTheTimerAgain) {
    TSimulatedLoop loop;
    std::vector<TBox> boxes;
    TScopedMessageBoxHandler boxHandler([&](const AnsiString& text, const AnsiString& caption, unsigned) {
        boxes.push_back({text, caption});
        return IDOK;
    });
    TauAutoUpgrader upgrader(loop);
    upgrader.Proxy.AccessType = atDirect;
    upgrader.ShowMessages = 127;
    upgrader.InfoFileURL = "http://127.0.0.1:1/upsoft/quorvel.inf";
    upgrader.OnlineTest = [] { return true; };
    int unreachable = 0;
    upgrader.OnHostUnreachable = [&](const std::string&, const std::string&) { ++unreachable; };
    upgrader.SetAutoCheck(true);
    loop.RunFor(10s);
    EXPECT_TRUE(upgrader.StartedByTimer());
    ASSERT_TRUE(ServeUntil(loop, [&] { return unreachable == 1; }));
    EXPECT_FALSE(upgrader.AutoCheckInProgress());
    EXPECT_TRUE(upgrader.AutoCheckTimer().Enabled());
    EXPECT_TRUE(boxes.empty());
    upgrader.SetAutoCheck(false);
    EXPECT_FALSE(upgrader.AutoCheckTimer().Enabled());
}

} // namespace
