#include "pipeline/ArchiverChoice.h"

#include <sys/stat.h>
#include <unistd.h>

#include "platform/Exception.h"
#include "platform/Files.h"
#include "tasks/TaskChecks.h"

namespace {

bool IsExecutableFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// The first folder of `folders` (split at `separator`) holding an executable `name`.
std::string FindIn(const std::string& folders, char separator, const std::string& name) {
    std::string::size_type start = 0;
    while (start <= folders.size()) {
        auto end = folders.find(separator, start);
        if (end == std::string::npos) end = folders.size();
        std::string folder = folders.substr(start, end - start);
        if (!folder.empty()) {
            const std::string candidate = folder + (folder.back() == '/' ? "" : "/") + name;
            if (IsExecutableFile(candidate)) return candidate;
        }
        start = end + 1;
    }
    return {};
}

} // namespace

bool ArchiverSettingFromText(std::string_view text, TArchiverSetting& setting) {
    const std::string_view value = Trim(text);
    if (SameText(value, "auto")) setting = asAuto;
    else if (SameText(value, "rar")) setting = asRar;
    else if (SameText(value, "zip")) setting = asZip;
    else return false;
    return true;
}

TArchiverKind ChooseArchiver(TArchiverSetting setting, bool rarFound) {
    switch (setting) {
    case asRar: return akRar;
    case asZip: return akZip;
    case asAuto: break;
    }
    return rarFound ? akRar : akZip;
}

const char* ArchiveExtension(TArchiverKind kind) { return kind == akRar ? ".rar" : ".zip"; }

std::string FindRar(const std::string& pathVariable) {
    std::string found = FindIn(RarFolders, ';', "rar");
    return found.empty() ? FindIn(pathVariable, ':', "rar") : found;
}

std::string FindZipArchiver() {
    const std::string folder = ExeFolder();
    std::string candidate = folder + ZipArchiverName;
    if (IsExecutableFile(candidate)) return candidate;
    const std::string withoutSlash = folder.substr(0, folder.size() - 1);
    const auto slash = withoutSlash.rfind('/');
    if (slash == std::string::npos) return {};
    candidate = withoutSlash.substr(0, slash + 1) + ZipArchiverName;
    return IsExecutableFile(candidate) ? candidate : std::string();
}

AnsiString BatchOperand(const AnsiString& path) {
    if (HasControlCharacter(path) || path.find('"') != AnsiString::npos || (!path.empty() && path[0] == '-'))
        throw EBatchOperandError("Refused to write a batch operand that holds a control character or a double quote, "
                                 "or starts with \"-\": " + path);
    AnsiString out;
    for (char c : path) {
        out += c;
        if (c == '%') out += '%';
    }
    if (path.find_first_of(" \t") != AnsiString::npos) out = "\"" + out + "\"";
    return out;
}

AnsiString ArchiverBatchText(TArchiverKind kind, const std::string& exeFolder, const AnsiString& backupFolder,
                             const std::string& zipProgram) {
    if (kind == akZip && zipProgram.empty())
        throw EBatchOperandError(AnsiString("The built-in archiver ") + ZipArchiverName +
                                 " was not found beside the program");
    const AnsiString program = kind == akRar ? AnsiString("rar") : BatchOperand(Utf8ToAnsi(zipProgram));
    AnsiString text = "@Echo off\r\n";
    text += "path " + AnsiString(RarFolders) + ";%path%\r\n";
    text += program + " a -r -ag " + BatchOperand(Utf8ToAnsi(exeFolder) + "bak/") + " " +
            BatchOperand(backupFolder + "/") + "\r\n";
    return text;
}
