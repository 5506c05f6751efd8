#pragma once
// What the task editor checks and stores, without a toolkit: the dialog (and
// quorvelctl's `tasks add`) fills a TTaskInput, asks CheckInput, shows the
// message or moves the focus it names, and stores with StoreTask.
#include <string>
#include <string_view>
#include <vector>

#include "platform/AnsiString.h"
#include "platform/Exception.h"
#include "tasks/TaskRecord.h"
#include "tasks/TaskTable.h"

// A field value of the wrong kind for the control it goes into (an empty time
// field shown in a spin box): "Could not convert variant of type (%s) into type (%s)".
class EVariantTypeCastError : public EConvertError {
public:
    using EConvertError::EConvertError;
};

// The editor's boxes as typed (code page 936), the tick state and the four spin values.
struct TTaskInput {
    AnsiString TaskName;
    AnsiString ServerName;
    AnsiString DBName;
    AnsiString UserName;
    AnsiString Password;
    AnsiString BakDBName;
    AnsiString BakFilePath;
    AnsiString ToMailAddr;
    AnsiString CcMailAddr;
    AnsiString MailTopic;
    int RunHour = 20;
    int RunMinute = 30;
    bool Bak2Enabled = false;
    int RunHour2 = 12;
    int RunMinute2 = 0;
    AnsiString RarTimeAfter; // the two delay boxes are plain text boxes
    AnsiString SendTimeAfter;

    // The editor's defaults for a new task.
    static TTaskInput Defaults();
};

// Where SQL Server on Linux keeps its backups: the editor's default target folder.
extern const char* const DefaultBakFilePath;

// The box CheckInput wants focused when a required text is missing.
enum class TTaskInputBox { None, TaskName, BakFilePath, ToMailAddr, BakDBName };

struct TCheckOutcome {
    bool Accepted = false;
    // Shown in a plain message box with an OK button, or, when MessageIsError,
    // in the application's error box (a conversion error). Empty: no message.
    AnsiString Message;
    bool MessageIsError = false;
    TTaskInputBox Focus = TTaskInputBox::None;
};

// How CheckInput reaches the database server: a connection text in, the
// reason for a refusal out (empty when the connection opened).
struct TTaskCheckOptions {
    std::string ConfigPath{};   // config.ini naming the ODBC driver; empty: the one beside the executable
    int ConnectionTimeout = 15; // seconds
};

// The editor's checks in their order; the first one that fails ends them. The
// table's cursor may stand anywhere afterwards. `editNumber` is the record
// being changed (0 for a new task); the duplicate checks run for new tasks only.
TCheckOutcome CheckInput(TTaskTable& table, const TTaskInput& input, bool newTask, int editNumber,
                         const TTaskCheckOptions& options = {});

// The trial connection alone: empty when it opened, otherwise the server's or
// the client's reason. The connection is closed in either case.
AnsiString TrialConnection(const TTaskInput& input, const TTaskCheckOptions& options = {});

// Whether two times of day lie less than 10 minutes apart (no wrap at midnight).
bool TimesTooClose(int hour1, int minute1, int hour2, int minute2);

// The integer of a delay box: leading blanks and a sign allowed, decimal digits
// only; anything else raises EConvertError "'%s' is not a valid integer value".
std::int32_t DelayBoxValue(const AnsiString& text);

// ---- text that reaches a file name, a command line, an SQL text or an SMTP command

// A task field whose text is used outside the program: `Name` is the stored
// field, `Label` (UTF-8) names it in refusals, `Member` is its editor box and
// `RecordMember` the same text of a stored record.
struct TGuardedTaskField {
    const char* Name;
    const char* Label;
    AnsiString TTaskInput::*Member;
    AnsiString TTaskRecord::*RecordMember;
};
const std::vector<TGuardedTaskField>& GuardedTaskFields();

// Whether `text` holds a byte below 0x20 or 0x7F (GBK trail bytes never do).
bool HasControlCharacter(std::string_view text);

// The refusal for `text` in `field`, empty when it may be stored: "%s 含有不允许
// 的控制字符" for any control character, and for the backup folder also a
// double quote (no folder needs one, and it would end the archiver's operand).
AnsiString TaskFieldFault(const TGuardedTaskField& field, const AnsiString& text);
// The first refusal of the input's guarded boxes, in field order; empty: none.
AnsiString TaskInputFault(const TTaskInput& input);
// The same for a stored record (a file stored by an older version).
AnsiString TaskRecordFault(const TTaskRecord& record);
// The same for the table's current record.
AnsiString StoredTaskFault(TTaskTable& table);

// Puts one imported cell (a sheet or tab-separated row) into `field` of the
// record being added, held to what the editor would store: "True"/"False"/1/0
// for a flag; a plain decimal integer for a number, hours 0-23, minutes 0-59,
// delays and numbers not negative, a mail delay of 0 or at least 30; no
// refused text. An empty cell leaves the field empty. A refusal raises
// EConvertError naming the value and the field.
void StoreImportedCell(TTaskField& field, const AnsiString& text);
// Whether an imported number fits what the editor can store in the field
// named `fieldName` (the ranges above; any 32-bit value for other fields).
bool ImportedNumberInRange(std::string_view fieldName, std::int64_t value);

// Stores the input as a new record (num = count + 1) or into record
// `editNumber`. Both delay boxes are converted before any record is started,
// so a bad text leaves the table as it was; an empty delay box stores 0.
// Returns the stored record's number.
int StoreTask(TTaskTable& table, const TTaskInput& input, bool newTask, int editNumber);

// Fills `input` from record `number` in the editor's order (the ten texts, the
// first time, the tick, the second time, the two delays). An empty time field
// stops the filling with EVariantTypeCastError; what was filled before it
// stays in `input`.
void LoadTaskInput(TTaskTable& table, int number, TTaskInput& input);
