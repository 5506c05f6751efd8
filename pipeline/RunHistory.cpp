#include "pipeline/RunHistory.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <ctime>
#include <map>
#include <memory>
#include <variant>

#include "platform/AnsiString.h"
#include "platform/Files.h"

namespace {

// ---------------------------------------------------------------- JSON pieces
// The record is a flat object of strings, whole numbers and arrays of strings;
// the reader takes any JSON value so that fields added later do not make old
// programs refuse new lines.

void AppendJsonString(std::string& out, std::string_view s) {
    out += '"';
    for (unsigned char c : s) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20 || c == 0x7F) {
                char buffer[8];
                std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
                out += buffer;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    out += '"';
}

struct TJson;
using TJsonObject = std::map<std::string, TJson, std::less<>>;
using TJsonArray = std::vector<TJson>;
struct TJson {
    std::variant<std::nullptr_t, bool, double, std::string, TJsonArray, TJsonObject> Value;
};

class TJsonReader {
public:
    explicit TJsonReader(std::string_view text) : text_(text) {}

    TJson Document() {
        TJson value = ReadValue(0);
        SkipBlanks();
        if (pos_ != text_.size()) Fail("text after the object");
        return value;
    }

private:
    static constexpr int MaxDepth = 16;

    [[noreturn]] void Fail(const std::string& what) const {
        throw std::runtime_error(what + " at byte " + std::to_string(pos_));
    }
    void SkipBlanks() {
        while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' || text_[pos_] == '\r' ||
                                       text_[pos_] == '\n'))
            ++pos_;
    }
    bool Take(char c) {
        SkipBlanks();
        if (pos_ < text_.size() && text_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }
    void Expect(char c) {
        if (!Take(c)) Fail(std::string("expected '") + c + "'");
    }
    bool TakeWord(std::string_view word) {
        if (text_.substr(pos_, word.size()) != word) return false;
        pos_ += word.size();
        return true;
    }

    TJson ReadValue(int depth) {
        if (depth > MaxDepth) Fail("nested too deeply");
        SkipBlanks();
        if (pos_ >= text_.size()) Fail("unexpected end");
        const char c = text_[pos_];
        if (c == '{') return ReadObject(depth);
        if (c == '[') return ReadArray(depth);
        if (c == '"') return TJson {ReadString()};
        if (TakeWord("true")) return TJson {true};
        if (TakeWord("false")) return TJson {false};
        if (TakeWord("null")) return TJson {nullptr};
        return TJson {ReadNumber()};
    }

    TJson ReadObject(int depth) {
        Expect('{');
        TJsonObject object;
        if (Take('}')) return TJson {std::move(object)};
        do {
            SkipBlanks();
            if (pos_ >= text_.size() || text_[pos_] != '"') Fail("expected a name");
            std::string name = ReadString();
            Expect(':');
            object[std::move(name)] = ReadValue(depth + 1);
        } while (Take(','));
        Expect('}');
        return TJson {std::move(object)};
    }

    TJson ReadArray(int depth) {
        Expect('[');
        TJsonArray array;
        if (Take(']')) return TJson {std::move(array)};
        do array.push_back(ReadValue(depth + 1));
        while (Take(','));
        Expect(']');
        return TJson {std::move(array)};
    }

    unsigned ReadHex4() {
        if (pos_ + 4 > text_.size()) Fail("short \\u escape");
        unsigned value = 0;
        const auto [end, ec] = std::from_chars(text_.data() + pos_, text_.data() + pos_ + 4, value, 16);
        if (ec != std::errc() || end != text_.data() + pos_ + 4) Fail("bad \\u escape");
        pos_ += 4;
        return value;
    }

    static void AppendUtf8(std::string& out, unsigned cp) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }

    std::string ReadString() {
        ++pos_; // the opening quote
        std::string out;
        for (;;) {
            if (pos_ >= text_.size()) Fail("unterminated string");
            const unsigned char c = static_cast<unsigned char>(text_[pos_++]);
            if (c == '"') return out;
            if (c < 0x20) Fail("control character in a string");
            if (c != '\\') {
                out += static_cast<char>(c);
                continue;
            }
            if (pos_ >= text_.size()) Fail("unterminated escape");
            switch (text_[pos_++]) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case '/': out += '/'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                unsigned cp = ReadHex4();
                if (cp >= 0xD800 && cp < 0xDC00 && TakeWord("\\u")) {
                    const unsigned low = ReadHex4();
                    if (low < 0xDC00 || low > 0xDFFF) Fail("bad surrogate pair");
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                } else if (cp >= 0xD800 && cp < 0xE000) {
                    Fail("lone surrogate");
                }
                AppendUtf8(out, cp);
                break;
            }
            default: Fail("unknown escape");
            }
        }
    }

    double ReadNumber() {
        const std::size_t start = pos_;
        while (pos_ < text_.size() && (std::isdigit(static_cast<unsigned char>(text_[pos_])) || text_[pos_] == '-' ||
                                       text_[pos_] == '+' || text_[pos_] == '.' || text_[pos_] == 'e' ||
                                       text_[pos_] == 'E'))
            ++pos_;
        double value = 0;
        const auto [end, ec] = std::from_chars(text_.data() + start, text_.data() + pos_, value);
        if (start == pos_ || ec != std::errc() || end != text_.data() + pos_) {
            pos_ = start;
            Fail("expected a value");
        }
        return value;
    }

    std::string_view text_;
    std::size_t pos_ = 0;
};

// Typed access to the fields of a record; a missing field keeps its default,
// a field of the wrong kind makes the line unreadable.
class TFields {
public:
    explicit TFields(const TJsonObject& object) : object_(object) {}

    const TJson* Find(std::string_view name) const {
        auto it = object_.find(name);
        return it == object_.end() || std::holds_alternative<std::nullptr_t>(it->second.Value) ? nullptr : &it->second;
    }
    std::string String(std::string_view name) const {
        const TJson* v = Find(name);
        if (!v) return {};
        if (auto s = std::get_if<std::string>(&v->Value)) return *s;
        throw std::runtime_error(std::string(name) + " is no text");
    }
    double Number(std::string_view name) const {
        const TJson* v = Find(name);
        if (!v) return 0;
        if (auto d = std::get_if<double>(&v->Value)) return *d;
        throw std::runtime_error(std::string(name) + " is no number");
    }
    std::vector<std::string> Strings(std::string_view name) const {
        const TJson* v = Find(name);
        std::vector<std::string> out;
        if (!v) return out;
        const auto* array = std::get_if<TJsonArray>(&v->Value);
        if (!array) throw std::runtime_error(std::string(name) + " is no list");
        for (const TJson& item : *array) {
            const auto* s = std::get_if<std::string>(&item.Value);
            if (!s) throw std::runtime_error(std::string(name) + " holds something other than text");
            out.push_back(*s);
        }
        return out;
    }
    std::optional<TTimePoint> Time(std::string_view name) const {
        const std::string text = String(name);
        if (text.empty()) return std::nullopt;
        std::optional<TTimePoint> t = ParseRecordTime(text);
        if (!t) throw std::runtime_error(std::string(name) + " is no time: " + text);
        return t;
    }

private:
    const TJsonObject& object_;
};

// Days since 1970-01-01 of a proleptic Gregorian date.
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

// Closes a descriptor when it goes out of scope.
struct TFd {
    int Value = -1;
    explicit TFd(int fd) : Value(fd) {}
    ~TFd() {
        if (Value >= 0) ::close(Value);
    }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
};

[[noreturn]] void FailWith(const std::string& what, const std::string& path, int error) {
    throw EHistoryError(Utf8ToAnsiLenient(what + " " + path + ": " + ErrnoText(error)));
}

bool WriteAll(int fd, std::string_view data) {
    // One write for the whole line: with O_APPEND it lands as one piece; a short
    // write (disk full) is reported, never continued as a second piece that
    // another process's line could split.
    for (;;) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (static_cast<std::size_t>(n) != data.size()) {
            errno = ENOSPC;
            return false;
        }
        return true;
    }
}

void SyncFolderOf(const std::string& path) {
    const auto slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    TFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.Value >= 0) ::fsync(dir.Value);
}

void ReadRecordsOf(const std::string& path, TRunHistory::TReadResult& into) {
    std::string content;
    {
        TFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
        if (fd.Value < 0) {
            if (errno != ENOENT) into.Warnings.push_back(path + ": cannot be read: " + ErrnoText(errno));
            return;
        }
        struct stat st {};
        if (::fstat(fd.Value, &st) != 0 || !S_ISREG(st.st_mode)) {
            into.Warnings.push_back(path + ": is no regular file");
            return;
        }
        // Shared with other readers, never while an appender writes its line.
        while (::flock(fd.Value, LOCK_SH) != 0 && errno == EINTR) {
        }
        char buffer[65536];
        for (;;) {
            const ssize_t n = ::read(fd.Value, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                into.Warnings.push_back(path + ": cannot be read: " + ErrnoText(errno));
                return;
            }
            if (n == 0) break;
            content.append(buffer, static_cast<std::size_t>(n));
        }
    }
    std::size_t start = 0;
    int lineNumber = 0;
    while (start < content.size()) {
        ++lineNumber;
        const std::size_t end = content.find('\n', start);
        if (end == std::string::npos) {
            into.Warnings.push_back(path + ": the last line is incomplete (an append was cut off) and is skipped");
            return;
        }
        const std::string_view line = std::string_view(content).substr(start, end - start);
        start = end + 1;
        if (Trim(line).empty()) continue;
        std::string error;
        if (line.size() > TRunHistory::MaxLineBytes) {
            error = "too long";
        } else if (std::optional<TRunRecord> record = ParseRunRecord(line, &error)) {
            into.Records.push_back(std::move(*record));
            continue;
        }
        into.Warnings.push_back(path + ": line " + std::to_string(lineNumber) + " is skipped: " + error);
    }
}

} // namespace

// ---------------------------------------------------------------- names

const char* OutcomeName(TCycleOutcome outcome) {
    switch (outcome) {
    case TCycleOutcome::Sent: return "sent";
    case TCycleOutcome::Failed: return "failed";
    case TCycleOutcome::NotMailed: return "not-mailed";
    }
    return "failed";
}

const char* StepName(TCycleStep step) {
    switch (step) {
    case TCycleStep::None: return "";
    case TCycleStep::Connect: return "connect";
    case TCycleStep::Backup: return "backup";
    case TCycleStep::Archive: return "archive";
    case TCycleStep::Mail: return "mail";
    }
    return "";
}

const char* OriginName(TCycleOrigin origin) {
    switch (origin) {
    case TCycleOrigin::Schedule: return "schedule";
    case TCycleOrigin::CatchUp: return "catch-up";
    case TCycleOrigin::Command: return "run";
    }
    return "schedule";
}

std::optional<TCycleOutcome> ParseOutcome(std::string_view name) {
    for (TCycleOutcome o : {TCycleOutcome::Sent, TCycleOutcome::Failed, TCycleOutcome::NotMailed})
        if (name == OutcomeName(o)) return o;
    return std::nullopt;
}

std::optional<TCycleStep> ParseStep(std::string_view name) {
    for (TCycleStep s : {TCycleStep::None, TCycleStep::Connect, TCycleStep::Backup, TCycleStep::Archive,
                         TCycleStep::Mail})
        if (name == StepName(s)) return s;
    return std::nullopt;
}

std::optional<TCycleOrigin> ParseOrigin(std::string_view name) {
    for (TCycleOrigin o : {TCycleOrigin::Schedule, TCycleOrigin::CatchUp, TCycleOrigin::Command})
        if (name == OriginName(o)) return o;
    return std::nullopt;
}

// ---------------------------------------------------------------- times

std::string FormatRecordTime(TTimePoint t) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(std::chrono::floor<std::chrono::seconds>(t));
    std::tm local {};
    ::localtime_r(&seconds, &local);
    const long offset = local.tm_gmtoff;
    const long magnitude = offset < 0 ? -offset : offset;
    char buffer[96];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d%c%02ld:%02ld", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, offset < 0 ? '-' : '+',
                  magnitude / 3600, magnitude / 60 % 60);
    return buffer;
}

std::optional<TTimePoint> ParseRecordTime(std::string_view text) {
    // "YYYY-MM-DDThh:mm:ss" then "Z" or "+hh:mm" / "-hh:mm".
    auto number = [&](std::size_t at, std::size_t width, int& out) {
        if (at + width > text.size()) return false;
        const auto [end, ec] = std::from_chars(text.data() + at, text.data() + at + width, out);
        return ec == std::errc() && end == text.data() + at + width;
    };
    int year, month, day, hour, minute, second;
    if (text.size() < 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
        text[16] != ':' || !number(0, 4, year) || !number(5, 2, month) || !number(8, 2, day) ||
        !number(11, 2, hour) || !number(14, 2, minute) || !number(17, 2, second))
        return std::nullopt;
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
        return std::nullopt;
    long offset = 0;
    const std::string_view zone = text.substr(19);
    if (zone == "Z") {
        offset = 0;
    } else {
        int oh, om;
        if (zone.size() != 6 || (zone[0] != '+' && zone[0] != '-') || zone[3] != ':' || !number(20, 2, oh) ||
            !number(23, 2, om) || oh > 23 || om > 59)
            return std::nullopt;
        offset = (oh * 3600L + om * 60L) * (zone[0] == '-' ? -1 : 1);
    }
    const std::int64_t days = DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
    const std::int64_t epoch = days * 86400 + hour * 3600 + minute * 60 + second - offset;
    return TTimePoint(std::chrono::seconds(epoch));
}

// ---------------------------------------------------------------- records

std::string FormatRunRecord(const TRunRecord& r) {
    std::string out = "{";
    bool first = true;
    auto name = [&](const char* key) {
        if (!first) out += ',';
        first = false;
        AppendJsonString(out, key);
        out += ':';
    };
    auto text = [&](const char* key, std::string_view value) {
        name(key);
        AppendJsonString(out, value);
    };
    auto whole = [&](const char* key, std::uint64_t value) {
        name(key);
        out += std::to_string(value);
    };
    auto list = [&](const char* key, const std::vector<std::string>& values) {
        name(key);
        out += '[';
        for (std::size_t i = 0; i < values.size(); ++i) {
            if (i) out += ',';
            AppendJsonString(out, values[i]);
        }
        out += ']';
    };
    text("task", r.TaskName);
    whole("recNo", static_cast<std::uint64_t>(r.RecNo < 0 ? 0 : r.RecNo));
    text("origin", OriginName(r.Origin));
    name("planned");
    if (r.Planned) AppendJsonString(out, FormatRecordTime(*r.Planned));
    else out += "null";
    text("started", FormatRecordTime(r.Started));
    text("ended", FormatRecordTime(r.Ended));
    text("outcome", OutcomeName(r.Outcome));
    text("step", StepName(r.Step));
    list("databases", r.Databases);
    text("archive", r.Archive);
    whole("archiveBytes", r.ArchiveBytes);
    whole("parts", static_cast<std::uint64_t>(r.Parts < 0 ? 0 : r.Parts));
    list("recipients", r.Recipients);
    list("errors", r.Errors);
    if (!r.NoticeError.empty()) text("noticeError", r.NoticeError);
    out += '}';
    return out;
}

std::optional<TRunRecord> ParseRunRecord(std::string_view line, std::string* error) {
    try {
        const TJson document = TJsonReader(line).Document();
        const auto* object = std::get_if<TJsonObject>(&document.Value);
        if (!object) throw std::runtime_error("no object");
        const TFields f(*object);
        TRunRecord r;
        r.TaskName = f.String("task");
        if (r.TaskName.empty()) throw std::runtime_error("no task name");
        const double recNo = f.Number("recNo");
        if (recNo < 0 || recNo > 1e9) throw std::runtime_error("recNo out of range");
        r.RecNo = static_cast<int>(recNo);
        const std::string origin = f.String("origin");
        if (!origin.empty()) {
            auto o = ParseOrigin(origin);
            if (!o) throw std::runtime_error("unknown origin: " + origin);
            r.Origin = *o;
        }
        r.Planned = f.Time("planned");
        const std::optional<TTimePoint> started = f.Time("started");
        if (!started) throw std::runtime_error("no start time");
        r.Started = *started;
        r.Ended = f.Time("ended").value_or(r.Started);
        const auto outcome = ParseOutcome(f.String("outcome"));
        if (!outcome) throw std::runtime_error("unknown outcome: " + f.String("outcome"));
        r.Outcome = *outcome;
        const auto step = ParseStep(f.String("step"));
        if (!step) throw std::runtime_error("unknown step: " + f.String("step"));
        r.Step = *step;
        r.Databases = f.Strings("databases");
        r.Archive = f.String("archive");
        const double bytes = f.Number("archiveBytes");
        const double parts = f.Number("parts");
        if (bytes < 0 || bytes > 9e15 || parts < 0 || parts > 1e6) throw std::runtime_error("size out of range");
        r.ArchiveBytes = static_cast<std::uint64_t>(bytes);
        r.Parts = static_cast<int>(parts);
        r.Recipients = f.Strings("recipients");
        r.Errors = f.Strings("errors");
        r.NoticeError = f.String("noticeError");
        return r;
    } catch (const std::exception& e) {
        if (error) *error = e.what();
        return std::nullopt;
    }
}

// ---------------------------------------------------------------- the file

TRunHistory::TRunHistory(std::string path, std::uint64_t rotateAt)
    : path_(path.empty() ? DefaultPath() : std::move(path)), rotateAt_(rotateAt) {}

std::string TRunHistory::DefaultPath() { return ExeFolder() + "history.jsonl"; }

void TRunHistory::Append(const TRunRecord& record) const {
    const std::string line = FormatRunRecord(record) + "\n";
    for (int attempt = 0; attempt < 100; ++attempt) {
        TFd fd(::open(path_.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0600));
        if (fd.Value < 0) FailWith("Cannot open", path_, errno);
        // The lock orders appenders of all processes and keeps rotation from
        // renaming the file under another appender's line.
        while (::flock(fd.Value, LOCK_EX) != 0)
            if (errno != EINTR) FailWith("Cannot lock", path_, errno);
        struct stat opened {}, named {};
        if (::fstat(fd.Value, &opened) != 0) FailWith("Cannot read the state of", path_, errno);
        if (!S_ISREG(opened.st_mode)) FailWith("Refused to append to", path_, EINVAL);
        // Another appender rotated the file while we waited: append to the new one.
        if (::stat(path_.c_str(), &named) != 0 || named.st_ino != opened.st_ino || named.st_dev != opened.st_dev)
            continue;
        if (opened.st_size > 0 && static_cast<std::uint64_t>(opened.st_size) + line.size() > rotateAt_) {
            if (::rename(path_.c_str(), OlderPath().c_str()) != 0) FailWith("Cannot rotate", path_, errno);
            SyncFolderOf(path_);
            continue;
        }
        if ((opened.st_mode & 077) != 0 && ::fchmod(fd.Value, 0600) != 0)
            FailWith("Cannot make private", path_, errno);
        std::string data;
        // A line torn by a crash has no line end: end it, so this record stays
        // a line of its own and the reader skips only the torn one.
        char last = '\n';
        if (opened.st_size > 0 && ::pread(fd.Value, &last, 1, opened.st_size - 1) != 1)
            FailWith("Cannot read the end of", path_, errno);
        if (last != '\n') data += '\n';
        data += line;
        if (!WriteAll(fd.Value, data)) FailWith("Cannot append to", path_, errno);
        if (::fsync(fd.Value) != 0) FailWith("Cannot sync", path_, errno);
        if (opened.st_size == 0) SyncFolderOf(path_);
        return;
    }
    FailWith("Cannot append to", path_, EAGAIN);
}

TRunHistory::TReadResult TRunHistory::Read() const {
    TReadResult result;
    ReadRecordsOf(OlderPath(), result);
    ReadRecordsOf(path_, result);
    return result;
}
