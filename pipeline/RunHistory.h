#pragma once
// The run history: one JSON object per line in history.jsonl beside the
// executable, one line per backup cycle. It is the durable record of what each
// night did (the activity log lives only in memory), read back by quorvelctl
// history and quorvelctl status. The window's cycles and quorvelctl run append
// to the same file, so appends are whole lines under a file lock.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Clock.h"
#include "platform/Exception.h"

// How a cycle ended.
enum class TCycleOutcome {
    Sent,      // every archive (or every part) was mailed
    Failed,    // a step failed; the record names it
    NotMailed, // archive made, mail off by the task's send delay of 0
};

// The step a failed cycle stopped in.
enum class TCycleStep { None, Connect, Backup, Archive, Mail };

// Why the cycle was started.
enum class TCycleOrigin {
    Schedule, // the minute scan found the task due
    CatchUp,  // its run time passed while another cycle ran
    Command,  // quorvelctl run
};

const char* OutcomeName(TCycleOutcome outcome); // "sent", "failed", "not-mailed"
const char* StepName(TCycleStep step);          // "", "connect", "backup", "archive", "mail"
const char* OriginName(TCycleOrigin origin);    // "schedule", "catch-up", "run"
std::optional<TCycleOutcome> ParseOutcome(std::string_view name);
std::optional<TCycleStep> ParseStep(std::string_view name);
std::optional<TCycleOrigin> ParseOrigin(std::string_view name);

// One cycle. Texts are UTF-8.
struct TRunRecord {
    std::string TaskName;
    int RecNo = 0;
    TCycleOrigin Origin = TCycleOrigin::Schedule;
    // The run time the cycle was started for (whole minute); none for quorvelctl run.
    std::optional<TTimePoint> Planned;
    TTimePoint Started {};
    TTimePoint Ended {};
    TCycleOutcome Outcome = TCycleOutcome::Failed;
    TCycleStep Step = TCycleStep::None;
    std::vector<std::string> Databases;
    std::string Archive; // file name of the (first) archive, without folder
    std::uint64_t ArchiveBytes = 0; // all archives or parts together
    int Parts = 0;                  // archives or parts mailed
    std::vector<std::string> Recipients;
    std::vector<std::string> Errors;
    std::string NoticeError; // why the failure notice could not be sent

    bool operator==(const TRunRecord&) const = default;
};

// The record as one line of JSON, without its line end.
std::string FormatRunRecord(const TRunRecord& record);
// Reads one line back; nothing (and `error` set) when it is no record.
std::optional<TRunRecord> ParseRunRecord(std::string_view line, std::string* error = nullptr);

// Times in the record: local time with its offset from UTC, "2024-05-06T20:31:00+02:00".
std::string FormatRecordTime(TTimePoint t);
std::optional<TTimePoint> ParseRecordTime(std::string_view text);

// The history file cannot be written.
class EHistoryError : public Exception {
public:
    using Exception::Exception;
};

class TRunHistory {
public:
    // The file is renamed to its older name when an append would take it past this.
    static constexpr std::uint64_t RotateAtBytes = 10 * 1024 * 1024;
    // Longer lines are refused by the reader (a damaged file, not a record).
    static constexpr std::size_t MaxLineBytes = 1024 * 1024;

    // `path` empty: history.jsonl beside the executable.
    explicit TRunHistory(std::string path = {}, std::uint64_t rotateAt = RotateAtBytes);

    static std::string DefaultPath();
    const std::string& Path() const { return path_; }
    // The one older file kept by rotation: the path with ".1" added.
    std::string OlderPath() const { return path_ + ".1"; }

    // Appends the record as one whole line with one write, then fsync. Safe
    // against other processes appending at the same time. The file is created
    // with mode 0600 (it names servers and recipients); a file others can read
    // is made 0600. Raises EHistoryError.
    void Append(const TRunRecord& record) const;

    struct TReadResult {
        std::vector<TRunRecord> Records; // oldest first
        std::vector<std::string> Warnings;
    };
    // The records of the older file, then of the file itself. A missing file
    // holds no records. A torn last line (a crash during an append) and lines
    // that are no record are skipped, each with a warning.
    TReadResult Read() const;

private:
    std::string path_;
    std::uint64_t rotateAt_;
};
