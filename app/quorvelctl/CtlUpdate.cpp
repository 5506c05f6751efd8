// quorvelctl update check: the program's update check, headless - what the
// publisher's server announces, and whether it is newer than this program.
#include <iostream>
#include <optional>

#include "app/quorvelctl/CtlCommand.h"
#include "platform/Exception.h"
#include "platform/Files.h"
#include "platform/IniFile.h"
#include "platform/Publisher.h"
#include "platform/RealTimeLoop.h"
#include "upgrade/AutoUpgrader.h"

namespace {

const char* MethodName(TacUpgradeMethod method) {
    switch (method) {
    case umUseExternalSetup: return "external setup";
    case umRedirectToURL: return "web page";
    default: return "self-upgrade";
    }
}

int UpdateCheck(const std::vector<std::string>& args) {
    if (args.empty() || args[0] != "check") throw ECtlUsage("update: expected 'check'");
    std::string configPath, url;
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--config" && i + 1 < args.size())
            configPath = args[++i];
        else if (args[i] == "--url" && i + 1 < args.size())
            url = args[++i];
        else
            throw ECtlUsage("update check: unexpected '" + args[i] + "'");
    }
    if (configPath.empty()) configPath = ExeFolder() + "config.ini";
    if (url.empty()) url = GetPrivateProfileString("Upgrade", "InfoFileURL", "", configPath);
    if (url.empty()) url = PublisherUpdateInfoAddress();

    TRealTimeLoop loop;
    TauAutoUpgrader upgrader(loop);
    upgrader.VersionControl = byNumber;
    upgrader.VersionNumber = QUORVEL_VERSION;
    upgrader.ShowMessages = 0;
    upgrader.InfoFileURL = url;
    upgrader.CaFile = GetPrivateProfileString("Upgrade", "CaFile", "", configPath);

    enum { Waiting, NotNewer, Newer, Failed } outcome = Waiting;
    std::string reason;
    upgrader.OnLog = [&reason](const AnsiString& line) { reason = AnsiToUtf8Lenient(line); };
    upgrader.OnBeginUpgrade = [&](const AnsiString&, TacUpgradeMethod, const std::vector<std::string>&, bool& can) {
        outcome = Newer;
        can = false; // report only
    };
    upgrader.OnNoUpdateAvailable = [&] { outcome = NotNewer; };
    upgrader.OnNoInfoFile = [&] {
        outcome = Failed;
        if (reason.empty())
            reason = "no update-info file at " + url + " (HTTP status " + std::to_string(upgrader.StatusCode()) + ")";
    };
    upgrader.OnHostUnreachable = [&](const std::string&, const std::string& host) {
        outcome = Failed;
        reason = "host " + host + " unreachable: " + upgrader.FailureText();
    };
    upgrader.OnConnLost = [&] {
        outcome = Failed;
        reason = "connection lost after " + std::to_string(upgrader.BytesTransferred()) + " of " +
                 std::to_string(upgrader.Headers().ContentLength) + " bytes";
    };
    upgrader.OnAborted = [&] {
        if (outcome == Waiting) outcome = Failed;
    };

    // The transfer ends itself within its own time limit; this guard only
    // keeps a fault from hanging the command.
    bool expired = false;
    TTimer guard(loop, InfoTransferTimeoutMs + 30000, true);
    guard.OnTimer = [&expired] { expired = true; };
    if (!upgrader.StartUpdateCheck()) throw Exception("The update check could not start");
    loop.RunUntil([&] { return outcome != Waiting || expired; });
    if (outcome == Waiting) throw Exception("The update check did not end in time");
    if (outcome == Failed) throw Exception(Utf8ToAnsiLenient(reason.empty() ? "the update check failed" : reason));

    const TUpgradeInfo& info = upgrader.LastInfo();
    std::cout << "Update information: " << url << "\n"
              << "Running version: " << QUORVEL_VERSION << "\n"
              << "Announced version: " << AnsiToUtf8Lenient(info.Version) << "\n"
              << "Date: " << AnsiToUtf8Lenient(info.Date) << "\n"
              << "Method: " << MethodName(info.Method) << "\n";
    for (const TUpgradeFile& file : info.Files) {
        std::cout << "File: " << AnsiToUtf8Lenient(file.Url) << " -> " << AnsiToUtf8Lenient(file.StagingName);
        if (!file.Sha256.empty()) std::cout << " sha256 " << file.Sha256;
        std::cout << "\n";
    }
    std::cout << "Message: " << AnsiToUtf8Lenient(info.Message) << "\n"
              << (outcome == Newer ? "A newer version is available." : "This is the most recent version.") << "\n";
    return outcome == Newer ? 3 : 0;
}

const TCtlRegistration registration{
    {"update",
     "  quorvelctl update check [--config FILE] [--url URL]\n"
     "      fetches the update information (section Upgrade of config.ini: InfoFileURL, CaFile)\n"
     "      exit status 0: not newer, 3: a newer version, 1: the check failed\n",
     UpdateCheck}};

} // namespace
