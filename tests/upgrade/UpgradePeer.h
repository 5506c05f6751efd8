#pragma once
// The scripted web server of the upgrade tests (tests/peers/update_peer.py)
// and a bounded run of the wall-clock loop while a worker delivers.
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "platform/MessageLoop.h"
#include "platform/RealTimeLoop.h"
#include "tests/support/PeerProcess.h"

inline std::string FixturePath(const std::string& name) {
    return std::string(QUORVEL_FIXTURES_DIR) + "/" + name;
}

class TUpdatePeer {
public:
    explicit TUpdatePeer(const std::string& routesJson, bool tls = false)
        : process_("update_peer.py", tls ? std::vector<std::string>{"--tls", FixturePath("update-peer.pem"),
                                                                    FixturePath("update-peer.key"), routesJson}
                                         : std::vector<std::string>{routesJson}),
          scheme_(tls ? "https" : "http") {}

    std::string Url(const std::string& path) const {
        return scheme_ + "://127.0.0.1:" + std::to_string(process_.Port) + path;
    }
    int Port() const { return process_.Port; }
    // The next recorded request line ("REQUEST {json}"), "" after the time limit.
    std::string NextRequest(int limitMs = 10000) {
        for (;;) {
            const std::string line = process_.ReadLine(limitMs);
            if (line.empty() || line.rfind("REQUEST ", 0) == 0) return line;
        }
    }

private:
    TPeerProcess process_;
    std::string scheme_;
};

// Runs the loop until `condition` holds or `limit` of real time has passed.
inline bool RunLoopUntil(TRealTimeLoop& loop, const std::function<bool()>& condition,
                         std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    bool expired = false;
    TTimer guard(loop, static_cast<TTimer::TInterval>(limit.count()), true);
    guard.OnTimer = [&expired] { expired = true; };
    loop.RunUntil([&] { return condition() || expired; });
    return condition();
}
