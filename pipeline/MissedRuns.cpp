#include "pipeline/MissedRuns.h"

TTimePoint WholeMinute(TTimePoint t) { return std::chrono::floor<std::chrono::minutes>(t); }

std::vector<TMissedRun> FindMissedRuns(const std::vector<TScheduledRun>& runs, TTimePoint from, TTimePoint to,
                                       const TServedRuns& served) {
    std::map<int, TTimePoint> first; // per task, its first missed minute
    for (TTimePoint m = WholeMinute(from); m <= WholeMinute(to); m += std::chrono::minutes(1)) {
        const TLocalDateTime local = ToLocal(m);
        for (const TScheduledRun& run : runs) {
            if (run.Hour != local.Hour || run.Minute != local.Minute) continue;
            if (auto it = served.find(run.RecNo); it != served.end() && m <= it->second) continue;
            first.emplace(run.RecNo, m); // the earliest stays
        }
    }
    std::vector<TMissedRun> out;
    for (const TScheduledRun& run : runs) {
        auto it = first.find(run.RecNo);
        if (it == first.end()) continue;
        out.push_back({run.RecNo, it->second});
        first.erase(it);
    }
    return out;
}
