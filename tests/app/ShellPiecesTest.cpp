// The small pieces under the desktop program: command-line switches, INI
// integers of the column layout, the version text, the single-instance lock,
// starting programs without waiting, and the web panel against a real
// HTTP server.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "app/CommandLine.h"
#include "app/GridLayout.h"
#include "app/WebPanel.h"
#include "platform/Exception.h"
#include "platform/Files.h"
#include "platform/NamedMutex.h"
#include "platform/ShellExecute.h"
#include "platform/VersionInfo.h"
#include "tests/app/QtTestEnvironment.h"
#include "tests/support/PeerProcess.h"

namespace fs = std::filesystem;
using namespace std::chrono;

namespace {

struct TSwitchCase {
    const char* Name;
    std::vector<std::string> Params;
    bool Install;
};

const TSwitchCase SwitchCases[] = {
    {"None", {}, false},
    {"SlashInstall", {"/install"}, true},
    {"HyphenUninstallMixedCase", {"-UnInstall"}, true},
    {"BackslashInstall", {"\\INSTALL"}, true},
    {"AnyPosition", {"x", "y", "/install"}, true},
    {"FurtherLettersDoNotMatch", {"/installer"}, false},
    {"NoPrefixDoesNotMatch", {"install"}, false},
    {"OtherPrefixDoesNotMatch", {"+install"}, false},
    {"AfterUpgradeIsNoSwitch", {"/afterupgrade0"}, false},
    {"SilentAloneIsNoInstall", {"/silent"}, false},
};

class InstallSwitch : public testing::TestWithParam<TSwitchCase> {};

TEST_P(InstallSwitch, IsFoundOnlyAsAWholeParameter) {
    EXPECT_EQ(InstallSwitchGiven(GetParam().Params), GetParam().Install);
}

INSTANTIATE_TEST_SUITE_P(CommandLine, InstallSwitch, testing::ValuesIn(SwitchCases),
                         [](const auto& test) { return std::string(test.param.Name); });

struct TIniIntegerCase {
    const char* Value;
    int Result;
};

TEST(GridLayout, IniIntegersReadAsDecimalOrHexElseTheDefault) {
    const TIniIntegerCase cases[] = {
        {"120", 120},  {"0x78", 120},       {"0X1f", 31},      {"-5", -5},   {" 64 ", 64},
        {"", 150},     {"abc", 150},        {"12px", 150},     {"0x", 150},  {"0xZZ", 150},
        {"1.5", 150},  {"2147483647", INT32_MAX}, {"2147483648", 150}, {"-2147483648", INT32_MIN},
        {"0xFFFFFFFF", -1}, {"0x100000000", 150},
    };
    for (const TIniIntegerCase& c : cases)
        EXPECT_EQ(IniInteger(c.Value, 150), c.Result) << '"' << c.Value << '"';
}

TEST(GridLayout, WidthsRoundTripThroughSectionTaskAndKeepOtherSections) {
    const std::string path = (fs::temp_directory_path() / ("qg-" + std::to_string(::getpid()) + ".ini")).string();
    fs::remove(path);
    EXPECT_FALSE(ReadGridLayout(path, 3).has_value()) << "no file: design widths";
    ASSERT_EQ(ReplaceFileContent(path, "[Option]\r\nSmtpServer=mail\r\n"), 0);
    EXPECT_EQ(ReadGridLayout(path, 3), (std::vector<int> {150, 150, 150}));
    WriteGridLayout(path, {10, 20, 30});
    EXPECT_EQ(ReadGridLayout(path, 3), (std::vector<int> {10, 20, 30}));
    EXPECT_EQ(ReadGridLayout(path, 4), (std::vector<int> {10, 20, 30, 150}));
    std::string content;
    ReadWholeFile(path, content);
    EXPECT_NE(content.find("SmtpServer=mail"), std::string::npos);
    EXPECT_NE(content.find("[task]"), std::string::npos);
    fs::remove(path);
    fs::create_directories(path); // a folder where the file should be
    EXPECT_THROW(WriteGridLayout(path, {1}), EIniFileException);
    fs::remove(path);
}

TEST(VersionInfo, VersionTextHasTheFourParts) {
    EXPECT_EQ(GetVersionText(), "V2.2.0.0");
}

TEST(NamedMutex, OneOwnerAtATimeAndFreeOnceReleased) {
    const std::string name = "quorvel-test-mutex-" + std::to_string(::getpid());
    {
        TNamedMutex first(name);
        EXPECT_TRUE(first.Owned());
        EXPECT_FALSE(first.AlreadyExists());
        TNamedMutex second(name);
        EXPECT_FALSE(second.Owned());
        EXPECT_TRUE(second.AlreadyExists());
        TNamedMutex other(name + "-other");
        EXPECT_TRUE(other.Owned());
    }
    TNamedMutex again(name);
    EXPECT_TRUE(again.Owned()) << "released with its owner";
}

TEST(ShellExecute, StartsWithoutWaitingAndReportsAMissingProgram) {
    const fs::path marker = fs::temp_directory_path() / ("qs-" + std::to_string(::getpid()));
    fs::remove(marker);
    const auto before = steady_clock::now();
    EXPECT_TRUE(StartDetached("sh", {"-c", "sleep 0.3; touch '" + marker.string() + "'"}));
    EXPECT_LT(steady_clock::now() - before, milliseconds(250)) << "no waiting for the program";
    for (int i = 0; i < 300 && !fs::exists(marker); ++i)
        std::this_thread::sleep_for(milliseconds(10));
    EXPECT_TRUE(fs::exists(marker));
    fs::remove(marker);
    EXPECT_FALSE(StartDetached("no-such-program-quorvel", {}));
    EXPECT_EQ(FindOnPath({"no-such-program-quorvel", "sh"}).substr(FindOnPath({"sh"}).rfind('/')), "/sh");
}

// ---------------------------------------------------------------- web panel

class WebPanelTest : public testing::Test {
protected:
    void SetUp() override {
        TestApplication();
        Folder = fs::temp_directory_path() / ("qw-" + std::to_string(::getpid()));
        fs::create_directories(Folder);
        std::ofstream(Folder / "noa.htm") << "<html><body>offline page</body></html>";
        OverrideExeFolder(Folder.string());
    }
    void TearDown() override {
        OverrideExeFolder("");
        std::error_code ec;
        fs::remove_all(Folder, ec);
    }
    // Navigates and waits for the page.
    QString Show(TWebPanel& panel, const QString& address) {
        bool done = false;
        QObject::connect(&panel, &TWebPanel::DocumentComplete, &panel, [&] { done = true; });
        panel.Navigate(address);
        EXPECT_TRUE(RunEventLoopUntil([&] { return done; }, seconds(20)));
        return panel.toPlainText();
    }
    fs::path Folder;
};

TEST_F(WebPanelTest, OnlinePageIsShownWithoutBlocking) {
    TPeerProcess server("http_page.py", {"夜间 page"});
    TWebPanel panel;
    const QString address = QString("http://127.0.0.1:%1/pavlet/adsql.php").arg(server.Port);
    const auto before = steady_clock::now();
    bool done = false;
    QObject::connect(&panel, &TWebPanel::DocumentComplete, &panel, [&] { done = true; });
    panel.Navigate(address);
    EXPECT_LT(steady_clock::now() - before, milliseconds(500)) << "the window never waits for the page";
    EXPECT_TRUE(panel.Busy());
    ASSERT_TRUE(RunEventLoopUntil([&] { return done; }, seconds(20)));
    EXPECT_EQ(panel.toPlainText().toStdString(), "夜间 page");
    EXPECT_EQ(panel.LocationURL(), address);
    EXPECT_EQ(server.ReadLine(), "GET /pavlet/adsql.php");
}

TEST_F(WebPanelTest, PageInTheChineseCodePageIsDecoded) {
    TPeerProcess server("http_page.py", {"--charset", "gbk", "备份工具"});
    TWebPanel panel;
    EXPECT_EQ(Show(panel, QString("http://127.0.0.1:%1/").arg(server.Port)).toStdString(), "备份工具");
}

struct TFallbackCase {
    const char* Name;
    int Status; // 0: nobody listens
};

class WebPanelFallback : public WebPanelTest, public testing::WithParamInterface<TFallbackCase> {};

TEST_P(WebPanelFallback, PageThatCannotBeFetchedShowsTheOfflinePage) {
    std::unique_ptr<TPeerProcess> server;
    int port = 1; // refused
    if (GetParam().Status) {
        server = std::make_unique<TPeerProcess>("http_page.py",
                                                std::vector<std::string> {"--status", std::to_string(GetParam().Status), "x"});
        port = server->Port;
    }
    TWebPanel panel;
    EXPECT_EQ(Show(panel, QString("http://127.0.0.1:%1/pavlet/adsql.php").arg(port)).toStdString(), "offline page");
    EXPECT_EQ(panel.LocationURL().toStdString(), "noa.htm");
}

INSTANTIATE_TEST_SUITE_P(WebPanel, WebPanelFallback,
                         testing::Values(TFallbackCase {"Refused", 0}, TFallbackCase {"NotFound", 404},
                                         TFallbackCase {"ServerError", 500}),
                         [](const auto& test) { return std::string(test.param.Name); });

TEST_F(WebPanelTest, LocalPageNameAndAMissingPage) {
    TWebPanel panel;
    EXPECT_EQ(Show(panel, "noa.htm").toStdString(), "offline page");
    EXPECT_EQ(Show(panel, "missing.htm").toStdString(), "");
}

} // namespace
