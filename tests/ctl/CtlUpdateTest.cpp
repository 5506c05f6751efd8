// quorvelctl update check, run as administrators run it, against the scripted server.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "tests/upgrade/UpgradePeer.h"

namespace {

struct TRun {
    int Status;
    std::string Output; // stdout and stderr
};

TRun Quorvelctl(const std::string& arguments) {
    // The proxy environment of the machine must not take the local peer's requests elsewhere.
    const std::string command = "env -u http_proxy -u https_proxy -u HTTP_PROXY -u HTTPS_PROXY -u ALL_PROXY -u all_proxy "
                                "timeout 60 " + std::string(QUORVEL_BINARY_DIR) +
                                "/app/quorvelctl/quorvelctl update check " + arguments + " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    TRun run{-1, {}};
    if (!pipe) return run;
    char buffer[4096];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) run.Output.append(buffer, n);
    const int status = ::pclose(pipe);
    run.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

struct TCtlCase {
    const char* Name;
    std::string Routes = {};
    bool Tls = false;
    bool ConfigFile = false; // the address (and the fixture's certificate) from config.ini
    bool Trust = false;
    int Status = 0;
    std::string Output = {};
};

std::string InfoRoute(const std::string& body) {
    std::string escaped;
    for (char c : body) escaped += c == '\n' ? std::string("\\n") : std::string(1, c);
    return R"({"/upsoft/quorvel.inf": {"body": ")" + escaped + R"("}})";
}

const std::string Hash(64, 'b');

class CtlUpdateTest : public testing::TestWithParam<TCtlCase> {};

TEST_P(CtlUpdateTest, ReportsTheOutcome) {
    const TCtlCase& c = GetParam();
    TUpdatePeer peer(c.Routes.empty() ? "{}" : c.Routes, c.Tls);
    const std::string url = c.Routes.empty() ? "http://127.0.0.1:1/upsoft/quorvel.inf" : peer.Url("/upsoft/quorvel.inf");
    const std::string config =
        (std::filesystem::temp_directory_path() / ("ctlupdate-" + std::to_string(::getpid()) + ".ini")).string();
    std::ofstream(config) << "[Upgrade]\r\nInfoFileURL=" << url << "\r\n"
                          << (c.Trust ? "CaFile=" + FixturePath("update-peer.pem") + "\r\n" : std::string());
    const TRun run = Quorvelctl(c.ConfigFile ? "--config '" + config + "'" : "--config '" + config + "' --url '" + url + "'");
    std::filesystem::remove(config);
    EXPECT_EQ(run.Status, c.Status) << run.Output;
    EXPECT_NE(run.Output.find(c.Output), std::string::npos) << run.Output;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CtlUpdateTest,
    testing::Values(
        TCtlCase{.Name = "NotNewer", .Routes = InfoRoute("#version=2.2.0.0\n#url=http://h/upsoft/quorvel.exe\n"),
                 .Status = 0, .Output = "Announced version: 2.2.0.0\nDate: \nMethod: self-upgrade\n"},
        TCtlCase{.Name = "Newer",
                 .Routes = InfoRoute("#version=3.0\n#date=12/01/2026\n#url=https://h/upsoft/quorvel.exe\n#url.sha256=" +
                                     Hash + "\n#message={Faster mail}\n"),
                 .Status = 3,
                 .Output = "Running version: " QUORVEL_VERSION "\nAnnounced version: 3.0\nDate: 12/01/2026\n"
                           "Method: self-upgrade\nFile: https://h/upsoft/quorvel.exe -> quorvel.exe sha256 " +
                           Hash + "\nMessage: Faster mail\nA newer version is available.\n"},
        TCtlCase{.Name = "NoInfoFile", .Routes = "{}", .Status = 1, .Output = "(HTTP status 404)"},
        TCtlCase{.Name = "Unreachable", .Status = 1, .Output = "quorvelctl: host 127.0.0.1 unreachable: "},
        TCtlCase{.Name = "ConnectionLost",
                 .Routes = R"({"/upsoft/quorvel.inf": {"body": "#version=3.0\n#url=http://h/q.exe\n", "close_after": 5}})",
                 .Status = 1, .Output = "quorvelctl: connection lost after 5 of 33 bytes"},
        TCtlCase{.Name = "RefusedOffer", .Routes = InfoRoute("#version=3.0\n#url=http://h/task.ini\n"), .Status = 1,
                 .Output = "task.ini"},
        TCtlCase{.Name = "TlsFromConfig", .Routes = InfoRoute("#version=2.2\n"), .Tls = true, .ConfigFile = true,
                 .Trust = true, .Status = 0, .Output = "This is the most recent version."},
        TCtlCase{.Name = "TlsUntrusted", .Routes = InfoRoute("#version=2.2\n"), .Tls = true, .ConfigFile = true,
                 .Status = 1, .Output = "unreachable"}),
    [](const auto& test) { return std::string(test.param.Name); });

TEST(CtlUpdateUsageTest, NeedsCheck) {
    const std::string command = std::string(QUORVEL_BINARY_DIR) + "/app/quorvelctl/quorvelctl update 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char buffer[512];
    std::string output;
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
    const int status = ::pclose(pipe);
    EXPECT_EQ(WEXITSTATUS(status), 2);
    EXPECT_NE(output.find("update: expected 'check'"), std::string::npos) << output;
}

} // namespace
