// quorvelzip: the archiver the batch file calls when rar is absent. It takes rar's
// `a -r -ag ARCHIVE_FOLDER/ SOURCE/` and writes ARCHIVE_FOLDER/YYYYMMDDhhmmss.zip,
// AES-256 encrypted when a password comes through its private channel.
#include <signal.h>

#include <atomic>
#include <iostream>
#include <string>
#include <vector>

#include "archiver/ArchiveRequest.h"
#include "archiver/ZipArchiver.h"

namespace {

std::atomic<bool> Interrupted{false};

extern "C" void OnSignal(int) { Interrupted.store(true); }

void CatchSignals() {
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a blocked read or write returns, and the temporary file is removed.
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal, &action, nullptr);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, nullptr);
    // Past a file size limit a write then fails with EFBIG like on a full disk, and
    // the temporary file is removed, instead of the process dying and leaving it.
    ::sigaction(SIGXFSZ, &ignore, nullptr);
}

} // namespace

int main(int argc, char** argv) {
    CatchSignals();
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 1 && (args[0] == "-h" || args[0] == "--help" || args[0] == "-?")) {
        std::cout << UsageText();
        return aeSuccess;
    }
    try {
        TArchiveRequest request = ParseArchiveCommandLine(args);
        std::string path = ArchivePathFor(request, ArchiveNow());
        TZipArchiver archiver(std::move(request), TakeArchivePassword(),
                              [](const std::string& text) { std::cerr << "quorvelzip: warning: " << text << '\n'; });
        TArchiverExit result = archiver.Run(path, Interrupted);
        std::cout << path << '\n';
        return result;
    } catch (const EArchiverError& e) {
        std::cerr << "quorvelzip: " << e.what() << '\n';
        return e.Code;
    } catch (const std::exception& e) {
        std::cerr << "quorvelzip: " << e.what() << '\n';
        return aeFatal;
    }
}
