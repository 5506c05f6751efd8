// The old program of the chain test: a program of the project that, started
// with --launch, hands itself over to the upgrader exactly as the desktop does
// after an accepted upgrade (its own path and process), then ends. Every
// start appends "chain <file name> <arguments...>" to starts.log beside it.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/Files.h"
#include "platform/RealTimeLoop.h"
#include "upgrade/AutoUpgrader.h"
#include "upgrade/UpgradeDownload.h"

int main(int argc, char** argv) {
    std::string line = "chain " + ExeName();
    bool launch = false;
    for (int i = 1; i < argc; ++i) {
        line += std::string(" ") + argv[i];
        launch = launch || std::strcmp(argv[i], "--launch") == 0;
    }
    line += "\n";
    const int log = ::open((ExeFolder() + "starts.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (log < 0 || ::write(log, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
        return 4;
    ::close(log);
    if (!launch)
        return 0;
    TRealTimeLoop loop;
    TauAutoUpgrader component(loop);
    TauUpgradeDownload procedure(loop);
    component.Procedure = &procedure;
    bool closed = false;
    component.CloseApplication = [&closed] { closed = true; };
    procedure.LaunchUpgrader(component, component.RestartParams() + "0");
    return closed ? 0 : 1;
}
