#include "app/quorvelctl/CtlTasksEdit.h"

#include <filesystem>
#include <iostream>

#include "app/quorvelctl/CtlCommand.h"
#include "platform/Files.h"
#include "tasks/TaskChecks.h"
#include "tasks/TaskFile.h"
#include "tasks/TaskTable.h"

const char* const TasksEditUsage =
    "  quorvelctl tasks add FILE [--FIELD VALUE]...\n"
    "                                        add a task as the task editor does (same checks, trial connection\n"
    "                                        included); FIELD is a stored field (taskName, ServerName, DBName,\n"
    "                                        UserName, Password, BakDBName, BakFilePath, ToMailAddr, CcMailAddr,\n"
    "                                        MailTopic, RunHour, RunMinute, Bak2Enabled, RunHour2, RunMinute2,\n"
    "                                        RarTimeAfter, SendTimeAfter); a missing one takes the editor's default\n"
    "  quorvelctl tasks remove FILE NUMBER   remove the task listed at NUMBER (1 = first) and save\n";

namespace {

int WholeNumber(const std::string& option, const std::string& text, int lo, int hi) {
    std::int32_t value = 0;
    try {
        value = DelayBoxValue(text);
    } catch (const EConvertError&) {
        value = lo - 1;
    }
    if (value < lo || value > hi || Trim(text) != text)
        throw ECtlUsage("tasks add: --" + option + " must be a whole number from " + std::to_string(lo) + " to " +
                        std::to_string(hi) + ", not '" + text + "'");
    return value;
}

bool Flag(const std::string& option, const std::string& text) {
    const AnsiString lower = AnsiLowerCase(text);
    if (lower == "true" || lower == "1") return true;
    if (lower == "false" || lower == "0") return false;
    throw ECtlUsage("tasks add: --" + option + " must be true or false, not '" + text + "'");
}

// Applies one option to the input; false for a name that is no stored field.
bool Apply(TTaskInput& input, const std::string& option, const std::string& value) {
    struct TText {
        const char* Name;
        AnsiString TTaskInput::*Member;
    };
    static const TText texts[] = {
        {"taskName", &TTaskInput::TaskName},     {"ServerName", &TTaskInput::ServerName},
        {"DBName", &TTaskInput::DBName},         {"UserName", &TTaskInput::UserName},
        {"Password", &TTaskInput::Password},     {"BakDBName", &TTaskInput::BakDBName},
        {"BakFilePath", &TTaskInput::BakFilePath}, {"ToMailAddr", &TTaskInput::ToMailAddr},
        {"CcMailAddr", &TTaskInput::CcMailAddr}, {"MailTopic", &TTaskInput::MailTopic},
        {"RarTimeAfter", &TTaskInput::RarTimeAfter}, {"SendTimeAfter", &TTaskInput::SendTimeAfter},
    };
    for (const TText& t : texts) {
        if (!SameText(option, t.Name)) continue;
        input.*(t.Member) = Utf8ToAnsi(value);
        return true;
    }
    struct TTime {
        const char* Name;
        int TTaskInput::*Member;
        int Max;
    };
    static const TTime times[] = {{"RunHour", &TTaskInput::RunHour, 23},
                                  {"RunMinute", &TTaskInput::RunMinute, 59},
                                  {"RunHour2", &TTaskInput::RunHour2, 23},
                                  {"RunMinute2", &TTaskInput::RunMinute2, 59}};
    for (const TTime& t : times) {
        if (!SameText(option, t.Name)) continue;
        input.*(t.Member) = WholeNumber(t.Name, value, 0, t.Max);
        return true;
    }
    if (SameText(option, "Bak2Enabled")) {
        input.Bak2Enabled = Flag("Bak2Enabled", value);
        return true;
    }
    return false;
}

const char* BoxName(TTaskInputBox box) {
    switch (box) {
    case TTaskInputBox::TaskName: return "taskName";
    case TTaskInputBox::BakFilePath: return "BakFilePath";
    case TTaskInputBox::ToMailAddr: return "ToMailAddr";
    case TTaskInputBox::BakDBName: return "BakDBName";
    case TTaskInputBox::None: break;
    }
    return "";
}

} // namespace

int RunTasksAdd(const std::vector<std::string>& args) {
    if (args.empty()) throw ECtlUsage("tasks add: missing FILE");
    const std::string& file = args[0];
    TTaskInput input = TTaskInput::Defaults();
    std::vector<std::string> given;
    for (std::size_t i = 1; i < args.size(); i += 2) {
        const std::string& word = args[i];
        if (word.rfind("--", 0) != 0) throw ECtlUsage("tasks add: expected --FIELD, got '" + word + "'");
        const std::string option = word.substr(2);
        if (i + 1 >= args.size()) throw ECtlUsage("tasks add: " + word + " needs a value");
        for (const std::string& seen : given)
            if (SameText(seen, option)) throw ECtlUsage("tasks add: " + word + " given twice");
        if (!Apply(input, option, args[i + 1])) throw ECtlUsage("tasks add: unknown field '" + option + "'");
        given.push_back(option);
    }

    // From loading to saving: another writer's tasks must not be saved over.
    TTaskFileLock lock(file);
    TTaskTable table;
    if (FileExists(file)) LoadFromFile(table, file);

    // The driver setting lives in the program's config.ini, beside its task file.
    TTaskCheckOptions options;
    options.ConfigPath = (std::filesystem::absolute(file).parent_path() / "config.ini").string();
    const TCheckOutcome outcome = CheckInput(table, input, true, 0, options);
    if (!outcome.Accepted) {
        if (!outcome.Message.empty())
            std::cerr << AnsiToUtf8Lenient(outcome.Message) << "\n";
        else
            std::cerr << "--" << BoxName(outcome.Focus) << " must not be empty\n";
        return 1;
    }
    const int number = StoreTask(table, input, true, 0);
    SaveToFile(table, file);
    std::cout << "added task " << number << " (" << AnsiToUtf8Lenient(input.TaskName) << ") to " << file << "\n";
    return 0;
}

int RunTasksRemove(const std::vector<std::string>& args) {
    if (args.size() != 2) throw ECtlUsage("tasks remove: expected FILE NUMBER");
    const std::string& file = args[0];
    TTaskFileLock lock(file);
    TTaskTable table;
    LoadFromFile(table, file);
    const int count = table.CountRecords();
    int number = 0;
    try {
        number = DelayBoxValue(args[1]);
    } catch (const EConvertError&) {
        number = 0;
    }
    if (number < 1 || number > count || Trim(args[1]) != args[1]) {
        std::cerr << "quorvelctl: " << file << " has no task number '" << args[1] << "' (it holds " << count
                  << " task(s))\n";
        return 1;
    }
    table.GoToNumber(number);
    const AnsiString name = table.FieldNamed("taskName").AsString();
    table.RemoveRecord();
    SaveToFile(table, file);
    std::cout << "removed task " << number << " (" << AnsiToUtf8Lenient(name) << ") from " << file << "\n";
    return 0;
}
