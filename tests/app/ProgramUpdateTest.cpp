// The real program, pointed at the scripted server by its config.ini: the
// update check at start, logged when a newer version is announced, silent
// when up to date or unreachable.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "platform/Files.h"
#include "tests/app/ProgramProcess.h"
#include "tests/upgrade/UpgradePeer.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

struct TStartCase {
    const char* Name;
    std::string Routes = {}; // "" : nothing listens
    bool Newer = false;
};

class ProgramUpdateTest : public testing::TestWithParam<TStartCase> {};

TEST_P(ProgramUpdateTest, StartsWithTheCheck) {
    const TStartCase& c = GetParam();
    static int serial = 0;
    const std::string id = std::to_string(::getpid()) + "-u" + std::to_string(++serial);
    const fs::path folder = fs::temp_directory_path() / ("qp-" + id);
    fs::remove_all(folder);
    fs::create_directories(folder);
    InstallProgram(folder);
    TUpdatePeer peer(c.Routes.empty() ? "{}" : c.Routes);
    const std::string url = c.Routes.empty() ? "http://127.0.0.1:1/upsoft/quorvel.inf" : peer.Url("/upsoft/quorvel.inf");
    ASSERT_EQ(ReplaceFileContent((folder / "config.ini").string(), "[Upgrade]\r\nInfoFileURL=" + url + "\r\n"), 0);
    {
        TProgramProcess program(folder, {}, {{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"QT_QPA_PLATFORM", ""},
                                             {"QUORVEL_INSTANCE_LOCK", "quorvel-test-" + id}});
        ASSERT_TRUE(program.WaitForOutput("待命", 30s)) << program.Out << program.Err;
        if (!c.Routes.empty()) {
            EXPECT_NE(peer.NextRequest().find("/upsoft/quorvel.inf"), std::string::npos);
        }
        if (c.Newer) {
            EXPECT_TRUE(program.WaitForOutput("发现新版本 9.0", 30s)) << program.Out << program.Err;
        } else {
            program.WaitForOutput("发现新版本", 2s);
            EXPECT_EQ(program.Out.find("发现新版本"), std::string::npos) << program.Out;
            EXPECT_EQ(program.Out.find("无法与服务器"), std::string::npos) << program.Out;
            EXPECT_EQ(program.Err.find("unreachable"), std::string::npos) << program.Err;
        }
        EXPECT_TRUE(program.Running());
    }
    std::error_code ec;
    fs::remove_all(folder, ec);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProgramUpdateTest,
    testing::Values(
        TStartCase{.Name = "Newer",
                   .Routes = R"({"/upsoft/quorvel.inf": {"body": "#version=9.0\n#url=http://127.0.0.1/upsoft/quorvel.exe\n"}})",
                   .Newer = true},
        TStartCase{.Name = "UpToDate",
                   .Routes = R"({"/upsoft/quorvel.inf": {"body": "#version=2.2.0.0\n#url=http://127.0.0.1/upsoft/quorvel.exe\n"}})"},
        TStartCase{.Name = "Unreachable"}),
    [](const auto& test) { return std::string(test.param.Name); });

} // namespace
