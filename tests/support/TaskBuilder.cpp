#include "tests/support/TaskBuilder.h"

TTaskRecord TestTask(const std::function<void(TTaskRecord&)>& change) {
    TTaskRecord t;
    t.TaskName = "T";
    t.RunHour = 20;
    t.RunMinute = 31;
    t.DBName = "master";
    t.UserName = "sa";
    t.Password = "secret";
    t.BakDBName = "pubs";
    t.BakFilePath = "D:\\bak";
    t.RarTimeAfter = 30;
    t.SendTimeAfter = 60;
    t.ToMailAddr = "ops@example.com";
    if (change) change(t);
    return t;
}

int StoreTestTask(TTaskTable& table, TTaskRecord task) {
    if (task.Num == 0) task.Num = table.CountRecords() + 1;
    table.BeginNewRecord();
    WriteTaskRecord(table, task);
    table.StoreRecord();
    return table.CurrentNumber();
}

std::string DumpTasks(TTaskTable& table, int from) {
    std::string out;
    for (table.GoFirst(); !table.IsPastEnd(); table.GoNext()) {
        if (table.CurrentNumber() < from) continue;
        for (int k = 0; k < table.FieldTotal(); ++k) {
            const TTaskField& field = table.FieldAtIndex(k);
            out += (k ? "|" : "") + (field.IsNull() ? std::string("-") : AnsiToUtf8(field.AsString()));
        }
        out += "\n";
    }
    return out;
}
