// A task record read and written as typed values.
#include <gtest/gtest.h>

#include "tasks/TaskChecks.h"
#include "tasks/TaskRecord.h"

namespace {

AnsiString A(const char* utf8) { return Utf8ToAnsi(utf8); }

// Every field with a value of its own, so that a field read into the wrong
// member shows.
TTaskRecord Distinct() {
    TTaskRecord r;
    r.Num = 7;
    r.TaskName = A("夜间备份");
    r.Bak2Enabled = true;
    r.RunHour = 20;
    r.RunMinute = 31;
    r.RunMinute2 = 42;
    r.RunHour2 = 13;
    r.BakDBName = "sales,hr";
    r.BakFilePath = "/var/opt/mssql/backup";
    r.ToMailAddr = "to@example.com";
    r.RarTimeAfter = 65;
    r.SendTimeAfter = 90;
    r.MailTopic = A("备份<file>");
    r.ServerName = "db1";
    r.DBName = "master";
    r.UserName = "sa";
    r.Password = "pw";
    r.CcMailAddr = "cc@example.com";
    return r;
}

TEST(TaskRecordTest, WrittenRecordReadsBackAndFillsEveryStoredColumn) {
    for (TTaskTable::TLayout layout : {TTaskTable::TLayout::Task, TTaskTable::TLayout::Cache}) {
        SCOPED_TRACE(layout == TTaskTable::TLayout::Task ? "task layout" : "cache layout");
        TTaskTable table(layout);
        table.BeginNewRecord();
        WriteTaskRecord(table, Distinct());
        table.StoreRecord();
        for (const AnsiString& column : TTaskTable::FileColumnNames())
            EXPECT_FALSE(table.FieldNamed(column).IsNull()) << column;

        // Through the task file's packet, as a cycle meets it after a load.
        TTaskTable loaded(layout);
        loaded.LoadFromPacket(table.Snapshot());
        EXPECT_EQ(LoadTaskRecord(loaded, 1), Distinct());
    }
}

TEST(TaskRecordTest, EmptyFieldsReadAsZeroFalseAndEmptyText) {
    TTaskTable table;
    table.BeginNewRecord();
    table.FieldNamed("taskName").SetAsString("only a name");
    table.StoreRecord();
    TTaskRecord expected;
    expected.TaskName = "only a name";
    EXPECT_EQ(LoadTaskRecord(table, 1), expected);
}

TEST(TaskRecordTest, LoadingARecordThatIsGoneRaises) {
    TTaskTable table;
    EXPECT_THROW(LoadTaskRecord(table, 1), EDatabaseError);
}

TEST(TaskRecordTest, RecordFaultIsTheStoredRecordsFault) {
    for (const TGuardedTaskField& field : GuardedTaskFields()) {
        SCOPED_TRACE(field.Name);
        TTaskRecord record = Distinct();
        record.*(field.RecordMember) = "a\r\nb";
        TTaskTable table;
        table.BeginNewRecord();
        WriteTaskRecord(table, record);
        table.StoreRecord();
        const AnsiString fault = TaskRecordFault(record);
        EXPECT_EQ(fault, Utf8ToAnsi(field.Label) + A(" 含有不允许的控制字符"));
        EXPECT_EQ(StoredTaskFault(table), fault);
    }
    EXPECT_EQ(TaskRecordFault(Distinct()), "");
}

} // namespace
