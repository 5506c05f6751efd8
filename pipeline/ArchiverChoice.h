#pragma once
// Which archiver packs the backup folder, and the batch file that calls it:
// rar when it is on the batch file's search path (its line unchanged), else the
// built-in quorvelzip beside the program, with the same operands and switches.
#include <string>
#include <string_view>

#include "platform/AnsiString.h"
#include "platform/Exception.h"

// A batch line that must not be written as asked.
class EBatchOperandError : public Exception {
public:
    using Exception::Exception;
};

// Section Option's `Archiver`.
enum TArchiverSetting { asAuto, asRar, asZip };
enum TArchiverKind { akRar, akZip };

// The folders where the rar archiver for Linux is usually unpacked, searched
// before the PATH.
inline constexpr const char* RarFolders = "/opt/rar;/usr/local/rar";
// The built-in archiver's file name.
inline constexpr const char* ZipArchiverName = "quorvelzip";

// "auto", "rar", "zip" in any case, blanks around ignored; false otherwise.
bool ArchiverSettingFromText(std::string_view text, TArchiverSetting& setting);
// auto: rar when found, otherwise the built-in one.
TArchiverKind ChooseArchiver(TArchiverSetting setting, bool rarFound);
// ".rar" or ".zip": what the archiver's archives end in.
const char* ArchiveExtension(TArchiverKind kind);

// rar as the batch file would find it: in RarFolders, then in the folders of
// `pathVariable` (colon-separated, as PATH); empty when absent.
std::string FindRar(const std::string& pathVariable);
// quorvelzip beside the program; in a build tree quorvelctl sits one folder
// below it, so the parent folder is looked at too. Empty when absent.
std::string FindZipArchiver();

// A path operand of a batch line: quoted when it holds blanks, "%" doubled. A
// path that could end the operand (a double quote), start a new line (a
// control character) or be read as a switch (a leading "-") raises
// EBatchOperandError: it would run something else.
AnsiString BatchOperand(const AnsiString& path);

// The three lines of Keldor.bat, CR LF ended, in code page 936. `exeFolder`
// ends in "/"; `backupFolder` is the task's BakFilePath (code page 936);
// `zipProgram` is quorvelzip's path, used for akZip (empty: EBatchOperandError,
// the built-in archiver is missing).
AnsiString ArchiverBatchText(TArchiverKind kind, const std::string& exeFolder, const AnsiString& backupFolder,
                             const std::string& zipProgram);
