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
