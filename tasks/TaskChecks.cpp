#include "tasks/TaskChecks.h"

#include <algorithm>
#include <cstdlib>
#include <limits>

#include "platform/AdoConnection.h"

const char* const DefaultBakFilePath = "/var/opt/mssql/backup";

TTaskInput TTaskInput::Defaults() {
    TTaskInput input;
    input.ServerName = "(local)";
    input.DBName = "gis";
    input.UserName = "sa";
    input.BakFilePath = DefaultBakFilePath;
    input.MailTopic = Utf8ToAnsi("数据库备份：<file>_<date>");
    input.RarTimeAfter = "30";
    input.SendTimeAfter = "60";
    return input;
}

namespace {

TCheckOutcome Refuse(const char* utf8Message) {
    TCheckOutcome outcome;
    outcome.Message = Utf8ToAnsi(utf8Message);
    return outcome;
}

TCheckOutcome FocusOn(TTaskInputBox box) {
    TCheckOutcome outcome;
    outcome.Focus = box;
    return outcome;
}

bool Blank(const AnsiString& text) { return Trim(text).empty(); }

bool ValidTimeOfDay(int hour, int minute) { return hour >= 0 && hour <= 23 && minute >= 0 && minute <= 59; }

// Another task's time with an hour above 23 or a minute above 59 (only an
// import can store one) never comes due, so it cannot collide with anything;
// skipping it keeps every other task editable.
bool TooCloseToStored(int hour, int minute, int storedHour, int storedMinute) {
    if (!ValidTimeOfDay(storedHour, storedMinute)) return false;
    return TimesTooClose(hour, minute, storedHour, storedMinute);
}

} // namespace

bool TimesTooClose(int hour1, int minute1, int hour2, int minute2) {
    const int difference = std::abs((hour1 * 60 + minute1) - (hour2 * 60 + minute2));
    return difference < 10;
}

std::int32_t DelayBoxValue(const AnsiString& text) {
    auto invalid = [&] { return EConvertError(Format("'%s' is not a valid integer value", text.c_str())); };
    std::size_t i = 0;
    while (i < text.size() && text[i] == ' ') ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (i == text.size()) throw invalid();
    std::int64_t value = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') throw invalid();
        value = value * 10 + (text[i] - '0');
        if (value > std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1) throw invalid();
    }
    if (negative) value = -value;
    if (value > std::numeric_limits<std::int32_t>::max()) throw invalid();
    return static_cast<std::int32_t>(value);
}

AnsiString TrialConnection(const TTaskInput& input, const TTaskCheckOptions& options) {
    try {
        TAdoConnection connection(options.ConfigPath);
        connection.LoginPrompt = false;
        connection.ConnectionTimeout = options.ConnectionTimeout;
        connection.ConnectionString =
            BuildConnectionText(input.Password, input.UserName, input.DBName, input.ServerName);
        connection.Open();
        connection.Close();
        return {};
    } catch (const Exception& e) {
        // An empty reason would read as success to the caller.
        return e.Message.empty() ? AnsiString("?") : e.Message;
    }
}

TCheckOutcome CheckInput(TTaskTable& table, const TTaskInput& input, bool newTask, int editNumber,
                         const TTaskCheckOptions& options) {
    if (Blank(input.ServerName) || Blank(input.DBName) || Blank(input.UserName))
        return Refuse("服务器名、数据库名、用户名 不能为空。");

    if (Blank(input.TaskName)) return FocusOn(TTaskInputBox::TaskName);
    if (Blank(input.BakFilePath)) return FocusOn(TTaskInputBox::BakFilePath);
    if (Blank(input.ToMailAddr)) return FocusOn(TTaskInputBox::ToMailAddr);
    if (Blank(input.BakDBName)) return FocusOn(TTaskInputBox::BakDBName);

    // Before anything reaches the server: these texts end up in commands.
    if (AnsiString fault = TaskInputFault(input); !fault.empty()) {
        TCheckOutcome outcome;
        outcome.Message = fault;
        return outcome;
    }

    const AnsiString reason = TrialConnection(input, options);
    if (!reason.empty()) {
        TCheckOutcome outcome;
        outcome.Message = Utf8ToAnsi("数据库连接失败!原因:") + reason;
        return outcome;
    }

    if (!Blank(input.SendTimeAfter) && input.SendTimeAfter != "0") {
        std::int32_t delay = 0;
        try {
            delay = DelayBoxValue(input.SendTimeAfter);
        } catch (const EConvertError& e) {
            TCheckOutcome outcome;
            outcome.Message = e.Message;
            outcome.MessageIsError = true;
            return outcome;
        }
        if (delay < 30) return Refuse("邮件发送间隔太短(要求>30秒)");
    }

    const int h1 = input.RunHour, m1 = input.RunMinute;
    const int h2 = input.RunHour2, m2 = input.RunMinute2;
    const bool second = input.Bak2Enabled;

    if (newTask) {
        if (table.FindFirstMatch("taskName", {input.TaskName})) return Refuse("该任务名已经存在！");
        if (table.FindFirstMatch("BakFilePath", {input.BakFilePath})) return Refuse("该路径已有备份任务！");
        if (table.FindFirstMatch("RunHour;RunMinute", {std::int32_t{h1}, std::int32_t{m1}}))
            return Refuse("该时间已有备份任务！");
        // Only the first task with that second time counts, ticked or not here.
        if (table.FindFirstMatch("RunHour2;RunMinute2", {std::int32_t{h2}, std::int32_t{m2}}) &&
            table.FieldNamed("Bak2Enabled").AsBoolean())
            return Refuse("该时间已有备份任务！");
    }

    for (table.GoFirst(); !table.IsPastEnd(); table.GoNext()) {
        if (table.CurrentNumber() == editNumber) continue;
        const int rh1 = table.FieldNamed("RunHour").AsInteger();
        const int rm1 = table.FieldNamed("RunMinute").AsInteger();
        bool tooClose = TooCloseToStored(h1, m1, rh1, rm1) || (second && TooCloseToStored(h2, m2, rh1, rm1));
        if (!tooClose && table.FieldNamed("Bak2Enabled").AsBoolean()) {
            const int rh2 = table.FieldNamed("RunHour2").AsInteger();
            const int rm2 = table.FieldNamed("RunMinute2").AsInteger();
            tooClose = TooCloseToStored(h1, m1, rh2, rm2) || (second && TooCloseToStored(h2, m2, rh2, rm2));
        }
        if (tooClose) return Refuse("该时间与已有备份任务间隔太短！");
    }

    TCheckOutcome accepted;
    accepted.Accepted = true;
    return accepted;
}

const std::vector<TGuardedTaskField>& GuardedTaskFields() {
    static const std::vector<TGuardedTaskField> fields = {
        {"ServerName", "服务器名", &TTaskInput::ServerName, &TTaskRecord::ServerName},
        {"DBName", "数据库名", &TTaskInput::DBName, &TTaskRecord::DBName},
        {"UserName", "用户名", &TTaskInput::UserName, &TTaskRecord::UserName},
        {"BakDBName", "待备份数据库", &TTaskInput::BakDBName, &TTaskRecord::BakDBName},
        {"BakFilePath", "目的路径", &TTaskInput::BakFilePath, &TTaskRecord::BakFilePath},
        {"ToMailAddr", "备份邮箱地址", &TTaskInput::ToMailAddr, &TTaskRecord::ToMailAddr},
        {"CcMailAddr", "抄送邮箱地址", &TTaskInput::CcMailAddr, &TTaskRecord::CcMailAddr},
        {"MailTopic", "邮件主题格式", &TTaskInput::MailTopic, &TTaskRecord::MailTopic},
    };
    return fields;
}

bool HasControlCharacter(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7F;
    });
}

AnsiString TaskFieldFault(const TGuardedTaskField& field, const AnsiString& text) {
    if (HasControlCharacter(text)) return Utf8ToAnsi(field.Label) + Utf8ToAnsi(" 含有不允许的控制字符");
    if (SameText(field.Name, "BakFilePath") && text.find('"') != AnsiString::npos)
        return Utf8ToAnsi(field.Label) + Utf8ToAnsi(" 含有不允许的双引号");
    return {};
}

AnsiString TaskInputFault(const TTaskInput& input) {
    for (const TGuardedTaskField& field : GuardedTaskFields())
        if (AnsiString fault = TaskFieldFault(field, input.*(field.Member)); !fault.empty()) return fault;
    return {};
}

AnsiString TaskRecordFault(const TTaskRecord& record) {
    for (const TGuardedTaskField& field : GuardedTaskFields())
        if (AnsiString fault = TaskFieldFault(field, record.*(field.RecordMember)); !fault.empty()) return fault;
    return {};
}

AnsiString StoredTaskFault(TTaskTable& table) { return TaskRecordFault(ReadTaskRecord(table)); }

namespace {

struct TImportRange {
    const char* Name;
    std::int32_t Low, High;
};

// What the editor can store in each number field.
const TImportRange ImportRanges[] = {
    {"num", 0, std::numeric_limits<std::int32_t>::max()},
    {"RunHour", 0, 23},
    {"RunMinute", 0, 59},
    {"RunHour2", 0, 23},
    {"RunMinute2", 0, 59},
    {"RarTimeAfter", 0, std::numeric_limits<std::int32_t>::max()},
    {"SendTimeAfter", 0, std::numeric_limits<std::int32_t>::max()},
};

// Digits only (a leading minus allowed, so that a negative number gets the
// range message rather than a form one), within 32 bits.
bool PlainInteger(const AnsiString& text, std::int64_t& value) {
    std::size_t i = text.size() > 1 && text[0] == '-' ? 1 : 0;
    if (i == text.size() || text.size() - i > 10) return false;
    value = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + (text[i] - '0');
    }
    if (text[0] == '-') value = -value;
    return true;
}

// A mail delay below 30 s (other than 0, which sends nothing) is what the
// editor refuses as too short.
bool TooShortMailDelay(std::string_view fieldName, std::int64_t value) {
    return SameText(fieldName, "SendTimeAfter") && value > 0 && value < 30;
}

} // namespace

bool ImportedNumberInRange(std::string_view fieldName, std::int64_t value) {
    std::int64_t low = std::numeric_limits<std::int32_t>::min(), high = std::numeric_limits<std::int32_t>::max();
    for (const TImportRange& range : ImportRanges)
        if (SameText(fieldName, range.Name)) low = range.Low, high = range.High;
    return value >= low && value <= high && !TooShortMailDelay(fieldName, value);
}

void StoreImportedCell(TTaskField& field, const AnsiString& text) {
    if (text.empty()) {
        field.Clear();
        return;
    }
    const AnsiString label = field.Label();
    switch (field.DataType()) {
    case TFieldType::Boolean: {
        const AnsiString lower = AnsiLowerCase(text);
        if (lower != "true" && lower != "false" && text != "1" && text != "0")
            throw EConvertError(Format("'%s' is not a valid boolean value for field '%s' (True, False, 1 or 0)",
                                       text.c_str(), label.c_str()));
        field.SetAsBoolean(lower == "true" || text == "1");
        return;
    }
    case TFieldType::Integer: {
        std::int64_t value = 0;
        if (!PlainInteger(text, value))
            throw EConvertError(Format("'%s' is not a valid integer value for field '%s'", text.c_str(), label.c_str()));
        std::int64_t low = std::numeric_limits<std::int32_t>::min(), high = std::numeric_limits<std::int32_t>::max();
        for (const TImportRange& range : ImportRanges)
            if (SameText(field.Name(), range.Name)) low = range.Low, high = range.High;
        const bool tooShortDelay = TooShortMailDelay(field.Name(), value);
        if (!ImportedNumberInRange(field.Name(), value))
            throw EConvertError(Format("%s is out of range for field '%s' (%s)", text.c_str(), label.c_str(),
                                       tooShortDelay ? "0 or at least 30"
                                                     : Format("%lld to %lld", static_cast<long long>(low),
                                                              static_cast<long long>(high)).c_str()));
        field.SetAsInteger(static_cast<std::int32_t>(value));
        return;
    }
    case TFieldType::String:
        for (const TGuardedTaskField& guarded : GuardedTaskFields())
            if (SameText(field.Name(), guarded.Name))
                if (AnsiString fault = TaskFieldFault(guarded, text); !fault.empty()) throw EConvertError(fault);
        field.SetAsString(text);
        return;
    }
}

int StoreTask(TTaskTable& table, const TTaskInput& input, bool newTask, int editNumber) {
    // Converted first: a bad delay text must not leave a started record behind.
    const std::int32_t rarDelay = Blank(input.RarTimeAfter) ? 0 : DelayBoxValue(input.RarTimeAfter);
    const std::int32_t sendDelay = Blank(input.SendTimeAfter) ? 0 : DelayBoxValue(input.SendTimeAfter);

    if (newTask) {
        const int count = table.CountRecords();
        table.BeginNewRecord();
        table.FieldNamed("num").SetAsInteger(count + 1);
    } else {
        table.GoToNumber(editNumber);
        table.BeginChangeRecord();
    }
    try {
        table.FieldNamed("taskName").SetAsString(input.TaskName);
        table.FieldNamed("ServerName").SetAsString(input.ServerName);
        table.FieldNamed("DBName").SetAsString(input.DBName);
        table.FieldNamed("UserName").SetAsString(input.UserName);
        table.FieldNamed("Password").SetAsString(input.Password);
        table.FieldNamed("BakDBName").SetAsString(input.BakDBName);
        table.FieldNamed("BakFilePath").SetAsString(input.BakFilePath);
        table.FieldNamed("ToMailAddr").SetAsString(input.ToMailAddr);
        table.FieldNamed("CcMailAddr").SetAsString(input.CcMailAddr);
        table.FieldNamed("MailTopic").SetAsString(input.MailTopic);
        table.FieldNamed("RunHour").SetAsInteger(input.RunHour);
        table.FieldNamed("RunMinute").SetAsInteger(input.RunMinute);
        table.FieldNamed("Bak2Enabled").SetAsBoolean(input.Bak2Enabled);
        table.FieldNamed("RunHour2").SetAsInteger(input.RunHour2);
        table.FieldNamed("RunMinute2").SetAsInteger(input.RunMinute2);
        table.FieldNamed("RarTimeAfter").SetAsInteger(rarDelay);
        table.FieldNamed("SendTimeAfter").SetAsInteger(sendDelay);
        table.StoreRecord();
    } catch (...) {
        table.CancelRecord();
        throw;
    }
    return table.CurrentNumber();
}

void LoadTaskInput(TTaskTable& table, int number, TTaskInput& input) {
    table.GoToNumber(number);
    input.TaskName = table.FieldNamed("taskName").AsString();
    input.ServerName = table.FieldNamed("ServerName").AsString();
    input.DBName = table.FieldNamed("DBName").AsString();
    input.UserName = table.FieldNamed("UserName").AsString();
    input.Password = table.FieldNamed("Password").AsString();
    input.BakDBName = table.FieldNamed("BakDBName").AsString();
    input.BakFilePath = table.FieldNamed("BakFilePath").AsString();
    input.ToMailAddr = table.FieldNamed("ToMailAddr").AsString();
    input.CcMailAddr = table.FieldNamed("CcMailAddr").AsString();
    input.MailTopic = table.FieldNamed("MailTopic").AsString();

    // The spin boxes hold floating-point values: an empty field is a Null that
    // does not convert.
    auto timePart = [&](const char* name) {
        TTaskField& field = table.FieldNamed(name);
        if (field.IsNull()) throw EVariantTypeCastError("Could not convert variant of type (Null) into type (Double)");
        return static_cast<int>(field.AsInteger());
    };
    input.RunHour = timePart("RunHour");
    input.RunMinute = timePart("RunMinute");
    input.Bak2Enabled = table.FieldNamed("Bak2Enabled").AsBoolean();
    input.RunHour2 = timePart("RunHour2");
    input.RunMinute2 = timePart("RunMinute2");
    input.RarTimeAfter = table.FieldNamed("RarTimeAfter").AsString();
    input.SendTimeAfter = table.FieldNamed("SendTimeAfter").AsString();
}
