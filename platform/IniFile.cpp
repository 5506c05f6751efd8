#include "platform/IniFile.h"

#include <sys/stat.h>

#include <cerrno>

#include <optional>
#include <vector>

#include "platform/Files.h"

namespace {

struct Line {
    std::string_view text;   // without its line end
    std::string_view ending; // "\r\n", "\n" or "" for a last line without one
};

std::vector<Line> SplitLines(std::string_view content) {
    std::vector<Line> lines;
    std::size_t pos = 0;
    while (pos < content.size()) {
        std::size_t nl = content.find('\n', pos);
        if (nl == std::string_view::npos) {
            lines.push_back({content.substr(pos), {}});
            break;
        }
        std::size_t end = (nl > pos && content[nl - 1] == '\r') ? nl - 1 : nl;
        lines.push_back({content.substr(pos, end - pos), content.substr(end, nl + 1 - end)});
        pos = nl + 1;
    }
    return lines;
}

// "[name]" → name, trimmed; otherwise nothing.
std::optional<std::string_view> SectionName(std::string_view line) {
    std::string_view t = Trim(line);
    if (t.size() < 2 || t.front() != '[') return std::nullopt;
    std::size_t close = t.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    return Trim(t.substr(1, close - 1));
}

struct KeyValue {
    std::string_view key;
    std::string_view value;
};

std::optional<KeyValue> KeyLine(std::string_view line) {
    std::string_view t = Trim(line);
    if (t.empty() || t.front() == ';') return std::nullopt;
    std::size_t eq = t.find('=');
    if (eq == std::string_view::npos) return std::nullopt;
    return KeyValue{Trim(t.substr(0, eq)), Trim(t.substr(eq + 1))};
}

} // namespace

AnsiString GetPrivateProfileString(const AnsiString& section, const AnsiString& key,
                                   const AnsiString& defaultValue, const std::string& path) {
    std::string content;
    AnsiString result = defaultValue;
    if (ReadWholeFile(path, content)) {
        bool inSection = false;
        bool found = false;
        for (const Line& line : SplitLines(content)) {
            if (auto name = SectionName(line.text)) {
                if (inSection) break; // the first section of that name holds the value
                inSection = SameText(*name, Trim(section));
                continue;
            }
            if (!inSection) continue;
            if (auto kv = KeyLine(line.text); kv && SameText(kv->key, Trim(key))) {
                std::string_view v = kv->value;
                if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
                    v = v.substr(1, v.size() - 2);
                result = AnsiString(v);
                found = true;
                break;
            }
        }
        if (!found) result = defaultValue;
    }
    if (result.size() > MaxProfileValue) result.resize(MaxProfileValue);
    return result;
}

std::string ProfileEntryFault(const AnsiString& section, const AnsiString& key, const AnsiString& value) {
    const std::string_view breaks("\r\n\0", 3);
    if (section.find_first_of(breaks) != AnsiString::npos) return "a section name must not hold a line break";
    if (key.find_first_of(breaks) != AnsiString::npos) return "a key must not hold a line break";
    if (value.find_first_of(breaks) != AnsiString::npos) return "a value must not hold a line break";
    if (section.find(']') != AnsiString::npos) return "a section name must not hold \"]\"";
    if (key.find('=') != AnsiString::npos) return "a key must not hold \"=\"";
    const std::string_view trimmedKey = Trim(key);
    if (!trimmedKey.empty() && (trimmedKey.front() == ';' || trimmedKey.front() == '['))
        return "a key must not start with \";\" or \"[\"";
    return {};
}

bool WritePrivateProfileString(const AnsiString& section, const AnsiString& key, const AnsiString& value,
                               const std::string& path) {
    if (!ProfileEntryFault(section, key, value).empty()) {
        errno = EINVAL;
        return false;
    }
    std::string content;
    if (!ReadWholeFile(path, content)) {
        if (errno != ENOENT) return false;
        content.clear();
    } else {
        // A file without any write permission is read-only, also for root.
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0 && (st.st_mode & 0222) == 0) return false;
    }

    std::vector<Line> lines = SplitLines(content);
    // New lines follow the file's own line ends.
    std::string eol = content.find("\r\n") != std::string::npos ? "\r\n" : "\n";
    std::string keyLine = std::string(Trim(key)) + "=" + value;

    std::optional<std::size_t> sectionLine, lastInSection, keyAt;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (auto name = SectionName(lines[i].text)) {
            if (sectionLine) break;
            if (SameText(*name, Trim(section))) sectionLine = i;
            continue;
        }
        if (!sectionLine) continue;
        if (!Trim(lines[i].text).empty()) lastInSection = i;
        if (auto kv = KeyLine(lines[i].text); kv && SameText(kv->key, Trim(key))) {
            keyAt = i;
            break;
        }
    }

    std::string out;
    out.reserve(content.size() + keyLine.size() + section.size() + 8);
    auto appendLine = [&](std::string_view text, std::string_view ending) {
        out.append(text);
        out.append(ending);
    };
    if (!sectionLine) {
        out = content;
        if (!out.empty() && out.back() != '\n') out += eol;
        out += "[" + std::string(Trim(section)) + "]" + eol + keyLine + eol;
    } else {
        std::size_t insertAfter = keyAt ? *keyAt : lastInSection.value_or(*sectionLine);
        for (std::size_t i = 0; i < lines.size(); ++i) {
            if (keyAt && i == *keyAt) {
                appendLine(keyLine, lines[i].ending.empty() ? std::string_view(eol) : lines[i].ending);
                continue;
            }
            std::string_view ending = lines[i].ending;
            if (!keyAt && i == insertAfter && ending.empty()) ending = eol;
            appendLine(lines[i].text, ending);
            if (!keyAt && i == insertAfter) out += keyLine + eol;
        }
    }
    return ReplaceFileContent(path, out) == 0;
}
