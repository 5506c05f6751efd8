// Writes valid task files as the fuzzer's seed corpus: empty, full, with
// double-byte text and empty fields, and with columns in another order.
#include <cstdio>
#include <fstream>
#include <string>

#include "tasks/TaskPacket.h"
#include "tasks/TaskTable.h"

namespace {
void Write(const std::string& folder, const std::string& name, const AnsiString& bytes) {
    std::ofstream(folder + "/" + name, std::ios::binary) << bytes;
}

void AddTask(TTaskTable& table, int n, bool full) {
    table.BeginNewRecord();
    table.FieldNamed("num").SetAsInteger(n);
    table.FieldNamed("taskName").SetAsString(Utf8ToAnsi("每日备份") + std::to_string(n));
    table.FieldNamed("RunHour").SetAsInteger(20);
    table.FieldNamed("RunMinute").SetAsInteger(30);
    if (full) {
        table.FieldNamed("Bak2Enabled").SetAsBoolean(n % 2 == 0);
        table.FieldNamed("RunHour2").SetAsInteger(8);
        table.FieldNamed("RunMinute2").SetAsInteger(5);
        table.FieldNamed("RarTimeAfter").SetAsInteger(30);
        table.FieldNamed("SendTimeAfter").SetAsInteger(60);
        table.FieldNamed("ServerName").SetAsString("127.0.0.1,1433");
        table.FieldNamed("DBName").SetAsString("master");
        table.FieldNamed("UserName").SetAsString("sa");
        table.FieldNamed("Password").SetAsString("secret");
        table.FieldNamed("BakDBName").SetAsString("sales,hr");
        table.FieldNamed("BakFilePath").SetAsString("D:\\backup\\");
        table.FieldNamed("ToMailAddr").SetAsString("ops@example.com");
        table.FieldNamed("CcMailAddr").SetAsString("boss@example.com");
        table.FieldNamed("MailTopic").SetAsString(Utf8ToAnsi("备份 <file> <date>"));
    }
    table.StoreRecord();
}
} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: MakeSeeds FOLDER\n");
        return 2;
    }
    std::string folder = argv[1];
    TTaskTable table;
    Write(folder, "empty.ini", table.Snapshot());
    AddTask(table, 1, true);
    Write(folder, "one.ini", table.Snapshot());
    AddTask(table, 2, false);
    AddTask(table, 3, true);
    Write(folder, "three.ini", table.Snapshot());
    // The same records with the columns reversed.
    TPacket packet = DecodePacket(table.Snapshot());
    TPacket reversed;
    for (std::size_t c = packet.Columns.size(); c-- > 0;) reversed.Columns.push_back(packet.Columns[c]);
    for (const auto& row : packet.Rows) reversed.Rows.emplace_back(row.rbegin(), row.rend());
    Write(folder, "reversed.ini", EncodePacket(reversed));
    return 0;
}
