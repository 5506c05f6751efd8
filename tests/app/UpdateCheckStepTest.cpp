// Step 2 of the window's creation: the update check against the scripted
// server, and a start that goes on whatever the check meets.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "tests/app/FormFixture.h"
#include "tests/upgrade/UpgradePeer.h"

namespace {

using namespace std::chrono_literals;

class UpdateCheckStepTest : public FormFixture {
protected:
    bool ServeUntil(const std::function<bool()>& condition, std::chrono::seconds limit = 30s) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!condition() && std::chrono::steady_clock::now() < deadline) {
            Loop.ProcessMessages();
            std::this_thread::sleep_for(5ms);
        }
        return condition();
    }
    bool Logged(const std::string& part) const {
        for (const std::string& line : LogTexts())
            if (line.find(part) != std::string::npos) return true;
        return false;
    }
};

TEST_F(UpdateCheckStepTest, FetchesTheInfoFileAndLogsANewerVersion) {
    TUpdatePeer peer(R"({"/upsoft/quorvel.inf": {"body": "#version=9.0\n#url=http://127.0.0.1/upsoft/quorvel.exe\n"}})");
    Options.UpdateCheck = true;
    Options.UpdateInfoURL = peer.Url("/upsoft/quorvel.inf");
    WriteTasks({{.Name = "daily"}});
    CreateForm();
    EXPECT_EQ(Form->cdsTask.CountRecords(), 1);
    const std::string request = peer.NextRequest();
    EXPECT_NE(request.find("\"path\": \"/upsoft/quorvel.inf\""), std::string::npos) << request;
    EXPECT_NE(request.find("\"cache-control\": \"no-cache\""), std::string::npos) << request;
    EXPECT_NE(request.find("\"pragma\": \"no-cache\""), std::string::npos) << request;
    // Without the upgrade windows there is nobody to ask: one log line.
    ASSERT_TRUE(ServeUntil([&] { return Logged("发现新版本 9.0"); }));
    EXPECT_TRUE(Boxes.empty());
}

TEST_F(UpdateCheckStepTest, SettingsFileNamesTheAddress) {
    TUpdatePeer peer(R"({"/other.inf": {"body": "#version=1\n"}})");
    Options.UpdateCheck.reset();
    WriteFile("config.ini", "[Upgrade]\r\nInfoFileURL=" + peer.Url("/other.inf") + "\r\n");
    CreateForm();
    const std::string request = peer.NextRequest();
    EXPECT_NE(request.find("\"path\": \"/other.inf\""), std::string::npos) << request;
    EXPECT_EQ(Form->auAutoUpgrader1->InfoFileURL, peer.Url("/other.inf"));
}

TEST_F(UpdateCheckStepTest, CheckZeroSkipsIt) {
    Options.UpdateCheck.reset();
    WriteFile("config.ini", "[Upgrade]\r\nCheck=0\r\nInfoFileURL=http://127.0.0.1:1/x\r\n");
    CreateForm();
    EXPECT_FALSE(Form->auAutoUpgrader1->IsTransferRunning());
    EXPECT_EQ(Form->auAutoUpgrader1->Mode(), TauAutoUpgrader::Idle);
}

TEST_F(UpdateCheckStepTest, MalformedAddressEndsWithoutABoxAndTheTasksLoad) {
    Options.UpdateCheck = true;
    Options.UpdateInfoURL = "http://[not an address";
    WriteTasks({{.Name = "daily"}, {.Name = "weekly"}});
    CreateForm();
    EXPECT_EQ(Form->cdsTask.CountRecords(), 2);
    ASSERT_TRUE(ServeUntil([&] { return Form->auAutoUpgrader1->Mode() == TauAutoUpgrader::Idle &&
                                        !Form->auAutoUpgrader1->IsTransferRunning(); }));
    ServeUntil([] { return false; }, 1s);
    EXPECT_TRUE(Boxes.empty());
    EXPECT_EQ(Form->auAutoUpgrader1->StatusCode(), -1);
}

TEST_F(UpdateCheckStepTest, TheProgramsOwnSettings) {
    CreateForm();
    const TauAutoUpgrader& u = *Form->auAutoUpgrader1;
    EXPECT_EQ(u.VersionControl, byNumber);
    EXPECT_EQ(u.VersionNumber, QUORVEL_VERSION);
    EXPECT_EQ(u.VersionDate, "04/15/2010");
    EXPECT_EQ(u.RestartParams(), "/afterupgrade");
    EXPECT_EQ(u.ShowMessages, DefaultShowMessages);
    EXPECT_FALSE(u.AutoCheck());
}

} // namespace
