// libFuzzer target over the INI reader and writer. The input is a settings
// file, then a section, a key and a value, separated by NUL bytes. Reading any
// file must not crash; writing an entry must either be refused (the file left
// byte for byte) or read back as written, with the file's other entries intact.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Files.h"
#include "platform/IniFile.h"

namespace {

std::vector<std::string> Parts(std::string_view bytes) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (parts.size() < 3) {
        const std::size_t nul = bytes.find('\0', start);
        if (nul == std::string_view::npos) break;
        parts.emplace_back(bytes.substr(start, nul - start));
        start = nul + 1;
    }
    parts.emplace_back(bytes.substr(start));
    parts.resize(4);
    return parts;
}

// The reader trims names and values and strips one pair of matching quotes: a
// value that would lose something that way cannot come back as written.
bool ReadsBackAsWritten(const std::string& value) {
    if (value.size() > MaxProfileValue || std::string_view(Trim(value)) != value) return false;
    return !(value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front());
}

const std::string& ScratchFile() {
    // Under TMPDIR, which fuzz/run points into its build folder.
    static const std::string path = TempFolder() + "ini-fuzz-" + std::to_string(::getpid()) + ".ini";
    return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::string> parts = Parts(std::string_view(reinterpret_cast<const char*>(data), size));
    const std::string& content = parts[0];
    const std::string& section = parts[1];
    const std::string& key = parts[2];
    const std::string& value = parts[3];
    const std::string& path = ScratchFile();
    if (ReplaceFileContent(path, content) != 0) __builtin_trap();

    // Another entry of the file, to see that the write leaves it alone.
    const AnsiString otherKey = key + "x";
    const AnsiString otherBefore = GetPrivateProfileString(section, otherKey, "<none>", path);

    const bool refused = !ProfileEntryFault(section, key, value).empty();
    const bool written = WritePrivateProfileString(section, key, value, path);
    if (written == refused) __builtin_trap(); // refused exactly when it has a fault
    std::string after;
    if (!ReadWholeFile(path, after)) __builtin_trap();
    if (refused) {
        if (after != content) __builtin_trap();
    } else {
        if (ReadsBackAsWritten(value) && GetPrivateProfileString(section, key, "<none>", path) != value)
            __builtin_trap();
        if (GetPrivateProfileString(section, otherKey, "<none>", path) != otherBefore) __builtin_trap();
        // Writing the same entry again changes nothing more.
        if (!WritePrivateProfileString(section, key, value, path)) __builtin_trap();
        std::string again;
        if (!ReadWholeFile(path, again) || again != after) __builtin_trap();
    }
    return 0;
}
