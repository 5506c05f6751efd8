#include "tasks/TaskRecord.h"

namespace {

// Every stored field once, with its member; reading and writing both walk it.
struct TRecordField {
    const char* Name;
    AnsiString TTaskRecord::*Text = nullptr;
    std::int32_t TTaskRecord::*Number = nullptr;
    bool TTaskRecord::*Flag = nullptr;
};

const TRecordField RecordFields[] = {
    {"num", nullptr, &TTaskRecord::Num},
    {"taskName", &TTaskRecord::TaskName},
    {"Bak2Enabled", nullptr, nullptr, &TTaskRecord::Bak2Enabled},
    {"RunHour", nullptr, &TTaskRecord::RunHour},
    {"RunMinute", nullptr, &TTaskRecord::RunMinute},
    {"RunMinute2", nullptr, &TTaskRecord::RunMinute2},
    {"RunHour2", nullptr, &TTaskRecord::RunHour2},
    {"BakDBName", &TTaskRecord::BakDBName},
    {"BakFilePath", &TTaskRecord::BakFilePath},
    {"ToMailAddr", &TTaskRecord::ToMailAddr},
    {"RarTimeAfter", nullptr, &TTaskRecord::RarTimeAfter},
    {"SendTimeAfter", nullptr, &TTaskRecord::SendTimeAfter},
    {"MailTopic", &TTaskRecord::MailTopic},
    {"ServerName", &TTaskRecord::ServerName},
    {"DBName", &TTaskRecord::DBName},
    {"UserName", &TTaskRecord::UserName},
    {"Password", &TTaskRecord::Password},
    {"CcMailAddr", &TTaskRecord::CcMailAddr},
};

} // namespace

TTaskRecord ReadTaskRecord(TTaskTable& table) {
    TTaskRecord record;
    for (const TRecordField& f : RecordFields) {
        const TTaskField& field = table.FieldNamed(f.Name);
        if (f.Text) record.*f.Text = field.AsString();
        else if (f.Number) record.*f.Number = field.AsInteger();
        else record.*f.Flag = field.AsBoolean();
    }
    return record;
}

TTaskRecord LoadTaskRecord(TTaskTable& table, int number) {
    table.GoToNumber(number);
    return ReadTaskRecord(table);
}

void WriteTaskRecord(TTaskTable& table, const TTaskRecord& record) {
    for (const TRecordField& f : RecordFields) {
        TTaskField& field = table.FieldNamed(f.Name);
        if (f.Text) field.SetAsString(record.*f.Text);
        else if (f.Number) field.SetAsInteger(record.*f.Number);
        else field.SetAsBoolean(record.*f.Flag);
    }
}
