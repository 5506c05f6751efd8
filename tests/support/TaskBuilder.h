#pragma once
// Task records for tests, from one place: a usual task with the fields a test
// cares about changed by name, written into a table as the editor stores one.
//
//     StoreTestTask(table, TestTask([](TTaskRecord& t) { t.RunHour = 3; }));
#include <functional>
#include <string>

#include "tasks/TaskRecord.h"
#include "tasks/TaskTable.h"

// The usual task: "T" at 20:31 backing up pubs of master on no server into
// D:\bak, archived after 30 s and mailed after 60 s to ops@example.com.
TTaskRecord TestTask(const std::function<void(TTaskRecord&)>& change = {});

// Appends `task` as a new record and returns its number. A Num of 0 numbers it
// after the records already there.
int StoreTestTask(TTaskTable& table, TTaskRecord task);

// Every stored field of the records numbered `from` on, one line per record,
// "|" between fields and "-" for one never set: what a comparison of whole task
// files should look at.
std::string DumpTasks(TTaskTable& table, int from = 1);
