#pragma once
// One task record as typed values: the eighteen stored fields, read from the
// table in one go, so that code working with a task names members the
// compiler checks instead of field names looked up at run time.
#include <cstdint>

#include "platform/AnsiString.h"
#include "tasks/TaskTable.h"

struct TTaskRecord {
    std::int32_t Num = 0;
    AnsiString TaskName; // code page 936, like every text below
    bool Bak2Enabled = false;
    std::int32_t RunHour = 0;
    std::int32_t RunMinute = 0;
    std::int32_t RunMinute2 = 0;
    std::int32_t RunHour2 = 0;
    AnsiString BakDBName;
    AnsiString BakFilePath;
    AnsiString ToMailAddr;
    std::int32_t RarTimeAfter = 0;  // seconds
    std::int32_t SendTimeAfter = 0; // seconds
    AnsiString MailTopic;
    AnsiString ServerName;
    AnsiString DBName;
    AnsiString UserName;
    AnsiString Password;
    AnsiString CcMailAddr;

    bool operator==(const TTaskRecord&) const = default;
};

// The table's current record. An empty field reads as 0, false or "".
TTaskRecord ReadTaskRecord(TTaskTable& table);
// Record `number` (the cursor moves there); EDatabaseError "Record %d not
// found" when there is none.
TTaskRecord LoadTaskRecord(TTaskTable& table, int number);
// Writes every stored field of `record` into the record being added or
// changed (the caller begins and stores it).
void WriteTaskRecord(TTaskTable& table, const TTaskRecord& record);
