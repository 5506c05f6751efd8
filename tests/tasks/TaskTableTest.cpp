// The task table: fields, conversions, calculated fields, cursor, record
// states, FindFirstMatch, the closed table and change notifications.
#include <gtest/gtest.h>

#include "tasks/TaskTable.h"

namespace {

AnsiString A(const char* utf8) { return Utf8ToAnsi(utf8); }

// Adds a stored record with the given fields set through SetAsString.
void AddRecord(TTaskTable& table, std::initializer_list<std::pair<const char*, const char*>> values) {
    table.BeginNewRecord();
    for (auto [name, text] : values) table.FieldNamed(name).SetAsString(A(text));
    table.StoreRecord();
}

std::vector<AnsiString> Column(TTaskTable& table, const char* name) {
    std::vector<AnsiString> out;
    for (table.GoFirst(); !table.IsPastEnd(); table.GoNext()) out.push_back(table.FieldNamed(name).AsString());
    return out;
}

TEST(TaskTableFields, TwentyFieldsInFieldOrderWithTheirDefinitions) {
    struct Def {
        const char* name;
        TFieldType type;
        int size;
        const char* label;
        int width;
        bool visible;
        bool calculated;
    };
    using T = TFieldType;
    const Def defs[] = {
        {"num", T::Integer, 0, "序号", 4, true, false},
        {"taskName", T::String, 50, "任务名称", 12, true, false},
        {"RunTime1", T::String, 20, "备1", 5, true, true},
        {"Bak2Enabled", T::Boolean, 0, "启用2", 5, true, false},
        {"RunTime2", T::String, 20, "备2", 5, true, true},
        {"RunHour", T::Integer, 0, "执行时间(时)", 14, false, false},
        {"RunMinute", T::Integer, 0, "执行时间(分)", 12, false, false},
        {"RunMinute2", T::Integer, 0, "执行时间2(分)", 12, false, false},
        {"RunHour2", T::Integer, 0, "执行时间2(时)", 14, false, false},
        {"BakDBName", T::String, 100, "待备份数据库", 14, true, false},
        {"BakFilePath", T::String, 50, "目标路径", 10, true, false},
        {"ToMailAddr", T::String, 50, "备份邮箱地址", 13, true, false},
        {"RarTimeAfter", T::Integer, 0, "压缩开始时间(秒)", 10, false, false},
        {"SendTimeAfter", T::Integer, 0, "邮件发送时间(秒)", 10, false, false},
        {"MailTopic", T::String, 200, "邮件主题格式", 12, true, false},
        {"ServerName", T::String, 50, "服务器名", 13, true, false},
        {"DBName", T::String, 20, "数据库名", 20, true, false},
        {"UserName", T::String, 20, "用户名", 8, true, false},
        {"Password", T::String, 20, "密码", 5, true, false},
        {"CcMailAddr", T::String, 50, "抄送邮箱地址", 20, true, false},
    };
    TTaskTable table;
    ASSERT_EQ(table.FieldTotal(), 20);
    int visible = 0;
    for (int i = 0; i < 20; ++i) {
        SCOPED_TRACE(defs[i].name);
        TTaskField& f = table.FieldAtIndex(i);
        EXPECT_EQ(f.Name(), defs[i].name);
        EXPECT_EQ(f.DataType(), defs[i].type);
        EXPECT_EQ(f.Size(), defs[i].size);
        EXPECT_EQ(f.Label(), A(defs[i].label));
        EXPECT_EQ(f.DisplayWidth(), defs[i].width);
        EXPECT_EQ(f.Visible(), defs[i].visible);
        EXPECT_EQ(f.IsCalculated(), defs[i].calculated);
        EXPECT_FALSE(f.ReadOnly());
        EXPECT_EQ(f.Index(), i);
        visible += f.Visible();
    }
    EXPECT_EQ(visible, 14);
}

TEST(TaskTableFields, CacheHoldsTheEighteenStoredFieldsInFileOrder) {
    TTaskTable cache(TTaskTable::TLayout::Cache);
    ASSERT_EQ(cache.FieldTotal(), 18);
    for (int i = 0; i < 18; ++i) {
        EXPECT_EQ(cache.FieldAtIndex(i).Name(), TTaskTable::FileColumnNames()[static_cast<std::size_t>(i)]);
        EXPECT_FALSE(cache.FieldAtIndex(i).IsCalculated());
    }
    EXPECT_EQ(cache.FindField("RunTime1"), nullptr);
}

TEST(TaskTableFields, NamesMatchWithoutRegardToCase) {
    TTaskTable table;
    EXPECT_EQ(table.FieldNamed("TASKNAME").Name(), "taskName");
    EXPECT_EQ(table.FieldNamed("TaskName").Name(), "taskName");
    EXPECT_EQ(table.FieldNamed("sendTimeAfter").Name(), "SendTimeAfter");
    EXPECT_EQ(table.FieldNamed("password").Name(), "Password");
    try {
        table.FieldNamed("ID");
        FAIL();
    } catch (const EDatabaseError& e) {
        EXPECT_EQ(e.Message, "Field 'ID' not found");
    }
    EXPECT_THROW(table.FieldAtIndex(20), EDatabaseError);
    EXPECT_THROW(table.FieldAtIndex(-1), EDatabaseError);
}

// Writing as text and reading back in every form.
struct WriteCase {
    const char* field;
    const char* text;     // UTF-8, converted to CP936
    const char* asString; // UTF-8
    int asInteger;
    bool asBoolean;
    bool isNull;
};

class TaskFieldWrite : public testing::TestWithParam<WriteCase> {};

TEST_P(TaskFieldWrite, ReadsBackInEveryForm) {
    const WriteCase& c = GetParam();
    TTaskTable table;
    table.BeginNewRecord();
    table.FieldNamed(c.field).SetAsString(A(c.text));
    table.StoreRecord();
    TTaskField& f = table.FieldNamed(c.field);
    EXPECT_EQ(f.AsString(), A(c.asString));
    EXPECT_EQ(f.IsNull(), c.isNull);
    if (f.DataType() != TFieldType::String || c.isNull) {
        EXPECT_EQ(f.AsInteger(), c.asInteger);
        EXPECT_EQ(f.AsBoolean(), c.asBoolean);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, TaskFieldWrite,
                         testing::Values(WriteCase{"num", "42", "42", 42, true, false},
                                         WriteCase{"num", "-7", "-7", -7, true, false},
                                         WriteCase{"num", "+7", "7", 7, true, false},
                                         WriteCase{"num", "  8", "8", 8, true, false},
                                         WriteCase{"num", "2147483647", "2147483647", 2147483647, true, false},
                                         WriteCase{"num", "-2147483648", "-2147483648", INT32_MIN, true, false},
                                         WriteCase{"num", "0", "0", 0, false, false},
                                         WriteCase{"num", "", "", 0, false, true},
                                         WriteCase{"Bak2Enabled", "True", "True", 1, true, false},
                                         WriteCase{"Bak2Enabled", "tRUE", "True", 1, true, false},
                                         WriteCase{"Bak2Enabled", "false", "False", 0, false, false},
                                         WriteCase{"Bak2Enabled", "1", "True", 1, true, false},
                                         WriteCase{"Bak2Enabled", "-3", "True", 1, true, false},
                                         WriteCase{"Bak2Enabled", "0", "False", 0, false, false},
                                         WriteCase{"Bak2Enabled", "", "", 0, false, true},
                                         WriteCase{"taskName", "每日备份", "每日备份", 0, false, false},
                                         WriteCase{"taskName", "", "", 0, false, true},
                                         WriteCase{"Password", "pa ss\tword", "pa ss\tword", 0, false, false}),
                         [](const testing::TestParamInfo<WriteCase>& test) { return "case" + std::to_string(test.index); });

TEST(TaskFieldConversion, BadTextsRaiseConversionErrorsNamingTheLabel) {
    struct Case {
        const char* field;
        const char* text;
        const char* message;
    };
    const Case cases[] = {
        {"num", "abc", "'abc' is not a valid integer value for field '序号'"},
        {"RunHour", "12x", "'12x' is not a valid integer value for field '执行时间(时)'"},
        {"RunHour", "1.5", "'1.5' is not a valid integer value for field '执行时间(时)'"},
        {"SendTimeAfter", "2147483648", "'2147483648' is not a valid integer value for field '邮件发送时间(秒)'"},
        {"num", "-", "'-' is not a valid integer value for field '序号'"},
        {"Bak2Enabled", "yes", "'yes' is not a valid boolean value for field '启用2'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        TTaskTable table;
        table.BeginNewRecord();
        table.FieldNamed(c.field).SetAsInteger(5);
        try {
            table.FieldNamed(c.field).SetValue(AnsiString(c.text));
            ADD_FAILURE() << "no error";
        } catch (const EConvertError& e) {
            EXPECT_EQ(e.Message, A(c.message));
        }
        // The failure leaves the record being added, with the old value.
        EXPECT_EQ(table.State(), TTableState::Insert);
        EXPECT_EQ(table.FieldNamed(c.field).AsString(), c.field == std::string("Bak2Enabled") ? "True" : "5");
    }
}

TEST(TaskFieldConversion, UntypedAndTypedSettersConvertToTheFieldType) {
    TTaskTable table;
    table.BeginNewRecord();
    table.FieldNamed("taskName").SetAsInteger(12);
    table.FieldNamed("ServerName").SetAsBoolean(true);
    table.FieldNamed("num").SetAsBoolean(true);
    table.FieldNamed("Bak2Enabled").SetValue(std::int32_t{0});
    table.FieldNamed("RunHour").SetValue(AnsiString("23"));
    table.StoreRecord();
    EXPECT_EQ(table.FieldNamed("taskName").AsString(), "12");
    EXPECT_EQ(table.FieldNamed("taskName").AsInteger(), 12);
    EXPECT_EQ(table.FieldNamed("ServerName").AsString(), "True");
    EXPECT_EQ(table.FieldNamed("num").Value(), TFieldValue(std::int32_t{1}));
    EXPECT_EQ(table.FieldNamed("Bak2Enabled").Value(), TFieldValue(false));
    EXPECT_EQ(table.FieldNamed("RunHour").Value(), TFieldValue(std::int32_t{23}));
    EXPECT_THROW(table.FieldNamed("ServerName").AsInteger(), EConvertError);
    // Clear empties a field again.
    table.BeginChangeRecord();
    table.FieldNamed("RunHour").Clear();
    table.StoreRecord();
    EXPECT_TRUE(table.FieldNamed("RunHour").IsNull());
}

TEST(TaskFieldWidth, LongTextKeepsItsFirstWidthBytesAndNeverHalfACharacter) {
    struct Case {
        const char* field;
        AnsiString text;
        AnsiString stored;
    };
    AnsiString han = A("备"); // two bytes
    const Case cases[] = {
        {"taskName", AnsiString(60, 'x'), AnsiString(50, 'x')},
        {"taskName", AnsiString(50, 'x'), AnsiString(50, 'x')},
        {"DBName", AnsiString(19, 'a') + han, AnsiString(19, 'a')},      // cut in the middle: lead byte goes too
        {"DBName", AnsiString(18, 'a') + han + "b", AnsiString(18, 'a') + han},
        {"MailTopic", [&] { AnsiString s; for (int i = 0; i < 150; ++i) s += han; return s; }(),
         [&] { AnsiString s; for (int i = 0; i < 100; ++i) s += han; return s; }()},
    };
    for (const Case& c : cases) {
        TTaskTable table;
        table.BeginNewRecord();
        table.FieldNamed(c.field).SetAsString(c.text);
        table.StoreRecord();
        EXPECT_EQ(table.FieldNamed(c.field).AsString(), c.stored) << c.field << " " << c.text.size();
    }
}

TEST(TaskTableCalculated, RunTimesFollowTheStoredFields) {
    struct Case {
        const char *hour, *minute, *enabled, *hour2, *minute2;
        const char *runTime1, *runTime2;
    };
    const Case cases[] = {
        {"8", "5", "True", "20", "30", "8:05", "20:30"},
        {"0", "0", "True", "23", "59", "0:00", "23:59"},
        {"20", "30", "False", "8", "5", "20:30", "无"},
        {"20", "30", "", "8", "5", "20:30", "无"},
        {"", "", "True", "", "", ":00", ":00"},
        {"7", "", "True", "", "9", "7:00", ":09"},
        {"25", "61", "False", "", "", "25:61", "无"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.runTime1);
        TTaskTable table;
        AddRecord(table, {{"RunHour", c.hour}, {"RunMinute", c.minute}, {"Bak2Enabled", c.enabled}, {"RunHour2", c.hour2},
                          {"RunMinute2", c.minute2}});
        EXPECT_EQ(table.FieldNamed("RunTime1").AsString(), A(c.runTime1));
        EXPECT_EQ(table.FieldNamed("RunTime2").AsString(), A(c.runTime2));
    }
}

TEST(TaskTableCalculated, WritingACalculatedFieldIsRecomputedFromTheOthers) {
    TTaskTable table;
    AddRecord(table, {{"RunHour", "9"}, {"RunMinute", "1"}, {"RunTime1", "99:99"}});
    EXPECT_EQ(table.FieldNamed("RunTime1").AsString(), "9:01");
    // Changing a stored field changes the calculated one on the next read.
    table.BeginChangeRecord();
    table.FieldNamed("RunHour").SetAsInteger(10);
    EXPECT_EQ(table.FieldNamed("RunTime1").AsString(), "10:01");
}

TEST(TaskTableCursor, EmptyTable) {
    TTaskTable table;
    table.GoFirst();
    EXPECT_TRUE(table.IsPastEnd());
    EXPECT_EQ(table.CountRecords(), 0);
    EXPECT_EQ(table.CurrentNumber(), 0);
    EXPECT_TRUE(table.FieldNamed("num").IsNull());
    table.GoToNumber(0); // the current number: nothing to do
    EXPECT_THROW(table.GoToNumber(1), EDatabaseError);
    try {
        table.RemoveRecord();
        FAIL();
    } catch (const EDatabaseError& e) {
        EXPECT_EQ(e.Message, "Cannot perform this operation on an empty dataset");
    }
}

TEST(TaskTableCursor, WalkGoToNumberAndPastEnd) {
    TTaskTable table;
    for (const char* n : {"1", "2", "3"}) AddRecord(table, {{"num", n}});
    EXPECT_EQ(table.CurrentNumber(), 3); // a stored new record is current
    EXPECT_EQ(Column(table, "num"), (std::vector<AnsiString>{"1", "2", "3"}));
    // Past the end the last record stays current.
    EXPECT_TRUE(table.IsPastEnd());
    EXPECT_EQ(table.CurrentNumber(), 3);
    EXPECT_EQ(table.FieldNamed("num").AsInteger(), 3);
    table.GoToNumber(2);
    EXPECT_FALSE(table.IsPastEnd());
    EXPECT_EQ(table.FieldNamed("num").AsInteger(), 2);
    table.GoToNumber(2);
    EXPECT_EQ(table.CurrentNumber(), 2);
    for (int bad : {0, 4, -1}) {
        try {
            table.GoToNumber(bad);
            ADD_FAILURE() << bad;
        } catch (const EDatabaseError& e) {
            EXPECT_EQ(e.Message, Format("Record %d not found", bad));
        }
        EXPECT_EQ(table.CurrentNumber(), 2);
    }
}

TEST(TaskTableEditing, NewRecordIsNotCountedUntilStoredAndGetsTheNextNumber) {
    TTaskTable table;
    AddRecord(table, {{"num", "1"}});
    table.BeginNewRecord();
    EXPECT_EQ(table.CountRecords(), 1);
    EXPECT_EQ(table.CurrentNumber(), 2);
    EXPECT_TRUE(table.FieldNamed("num").IsNull()); // fields start empty
    table.FieldNamed("num").SetAsInteger(table.CountRecords() + 1);
    table.StoreRecord();
    EXPECT_EQ(table.CountRecords(), 2);
    EXPECT_EQ(table.CurrentNumber(), 2);
    EXPECT_EQ(table.FieldNamed("num").AsInteger(), 2);
}

TEST(TaskTableEditing, ChangeOnEmptyTableAddsARecord) {
    TTaskTable table;
    table.BeginChangeRecord();
    EXPECT_EQ(table.State(), TTableState::Insert);
    table.FieldNamed("taskName").SetAsString("a");
    table.StoreRecord();
    EXPECT_EQ(table.CountRecords(), 1);
    EXPECT_EQ(table.FieldNamed("taskName").AsString(), "a");
}

TEST(TaskTableEditing, ChangeKeepsOtherFieldsAndCancelRestores) {
    TTaskTable table;
    AddRecord(table, {{"taskName", "a"}, {"num", "1"}});
    AddRecord(table, {{"taskName", "b"}, {"num", "2"}});
    table.GoToNumber(1);
    table.BeginChangeRecord();
    table.FieldNamed("taskName").SetAsString("changed");
    table.StoreRecord();
    EXPECT_EQ(Column(table, "taskName"), (std::vector<AnsiString>{"changed", "b"}));
    EXPECT_EQ(Column(table, "num"), (std::vector<AnsiString>{"1", "2"}));
    table.GoToNumber(2);
    table.BeginChangeRecord();
    table.FieldNamed("taskName").SetAsString("dropped");
    table.CancelRecord();
    EXPECT_EQ(table.FieldNamed("taskName").AsString(), "b");
}

TEST(TaskTableEditing, MovingTheCursorPostsAWrittenRecordAndDropsAnUntouchedOne) {
    struct Case {
        const char* name;
        bool write;
        std::function<void(TTaskTable&)> move;
        int countAfter;
    };
    const Case cases[] = {
        {"GoFirst written", true, [](TTaskTable& t) { t.GoFirst(); }, 2},
        {"GoNext written", true, [](TTaskTable& t) { t.GoNext(); }, 2},
        {"GoToNumber written", true, [](TTaskTable& t) { t.GoToNumber(1); }, 2},
        {"BeginNewRecord written", true, [](TTaskTable& t) { t.BeginNewRecord(); }, 2},
        {"Snapshot written", true, [](TTaskTable& t) { t.Snapshot(); }, 2},
        {"GoFirst untouched", false, [](TTaskTable& t) { t.GoFirst(); }, 1},
        {"GoToNumber untouched", false, [](TTaskTable& t) { t.GoToNumber(1); }, 1},
        {"FindFirstMatch untouched", false, [](TTaskTable& t) { t.FindFirstMatch("num", {std::int32_t{1}}); }, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TTaskTable table;
        AddRecord(table, {{"num", "1"}});
        table.BeginNewRecord();
        if (c.write) table.FieldNamed("num").SetAsInteger(9);
        c.move(table);
        EXPECT_EQ(table.CountRecords(), c.countAfter);
        if (c.write) {
            EXPECT_TRUE(table.FindFirstMatch("num", {std::int32_t{9}}));
        }
    }
}

TEST(TaskTableEditing, WritingWhileBrowsingIsRefused) {
    TTaskTable table;
    AddRecord(table, {{"num", "1"}});
    try {
        table.FieldNamed("num").SetAsInteger(2);
        FAIL();
    } catch (const EDatabaseError& e) {
        EXPECT_EQ(e.Message, "Dataset not in edit or insert mode");
    }
    EXPECT_EQ(table.FieldNamed("num").AsInteger(), 1);
}

TEST(TaskTableEditing, RemoveRecordMakesANeighbourCurrent) {
    struct Case {
        int remove;
        std::vector<AnsiString> left;
        int currentAfter;
    };
    const Case cases[] = {
        {1, {"2", "3"}, 1},
        {2, {"1", "3"}, 2},
        {3, {"1", "2"}, 2},
    };
    for (const Case& c : cases) {
        TTaskTable table;
        for (const char* n : {"1", "2", "3"}) AddRecord(table, {{"num", n}});
        table.GoToNumber(c.remove);
        table.RemoveRecord();
        EXPECT_EQ(table.CurrentNumber(), c.currentAfter) << c.remove;
        EXPECT_FALSE(table.IsPastEnd());
        EXPECT_EQ(Column(table, "num"), c.left) << c.remove;
    }
    TTaskTable single;
    AddRecord(single, {{"num", "1"}});
    single.RemoveRecord();
    EXPECT_EQ(single.CountRecords(), 0);
    EXPECT_TRUE(single.IsPastEnd());
    // Removing while adding abandons the new record only.
    AddRecord(single, {{"num", "1"}});
    single.BeginNewRecord();
    single.FieldNamed("num").SetAsInteger(2);
    single.RemoveRecord();
    EXPECT_EQ(Column(single, "num"), (std::vector<AnsiString>{"1"}));
}

TEST(TaskTableFind, FindFirstMatchComparesExactlyInTableOrder) {
    TTaskTable table;
    AddRecord(table, {{"num", "1"}, {"taskName", "Sales"}, {"RunHour", "8"}, {"RunMinute", "0"}, {"Bak2Enabled", "True"},
                      {"RunHour2", "20"}, {"RunMinute2", "30"}});
    AddRecord(table, {{"num", "2"}, {"taskName", "HR"}, {"RunHour", "20"}, {"RunMinute", "30"}});
    AddRecord(table, {{"num", "3"}, {"taskName", "sales"}, {"RunHour", "20"}, {"RunMinute", "30"}});
    AddRecord(table, {{"num", "4"}, {"taskName", "备份"}});
    struct Case {
        const char* names;
        std::vector<TFieldValue> values;
        int found; // record number, 0 for none
    };
    const Case cases[] = {
        {"RunHour;RunMinute", {std::int32_t{20}, std::int32_t{30}}, 2}, // the second run time of record 1 is ignored
        {"RunHour;RunMinute", {AnsiString("20"), AnsiString("30")}, 2},
        {"runhour ; RUNMINUTE", {std::int32_t{20}, std::int32_t{30}}, 2},
        {"taskName", {AnsiString("sales")}, 3},
        {"taskName", {AnsiString("SALES")}, 0},
        {"taskName", {Utf8ToAnsi("备份")}, 4},
        {"taskName;RunHour", {AnsiString("Sales"), std::int32_t{20}}, 0},
        {"RunHour2;RunMinute2", {std::int32_t{20}, std::int32_t{30}}, 1},
        {"num", {AnsiString("x")}, 0}, // no record can hold it
        {"CcMailAddr", {TFieldValue{}}, 1}, // empty matches empty
        {"RunTime2", {Utf8ToAnsi("无")}, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.names);
        table.GoToNumber(4);
        EXPECT_EQ(table.FindFirstMatch(c.names, c.values), c.found != 0);
        EXPECT_EQ(table.CurrentNumber(), c.found ? c.found : 4);
    }
    EXPECT_THROW(table.FindFirstMatch("nothing", {std::int32_t{1}}), EDatabaseError);
    EXPECT_THROW(table.FindFirstMatch("RunHour;RunMinute", {std::int32_t{1}}), EDatabaseError);
}

TEST(TaskTableClosed, EveryOperationFailsOnAClosedTable) {
    std::vector<std::pair<const char*, std::function<void(TTaskTable&)>>> operations = {
        {"GoFirst", [](TTaskTable& t) { t.GoFirst(); }},
        {"GoNext", [](TTaskTable& t) { t.GoNext(); }},
        {"IsPastEnd", [](TTaskTable& t) { (void)t.IsPastEnd(); }},
        {"CurrentNumber", [](TTaskTable& t) { (void)t.CurrentNumber(); }},
        {"GoToNumber", [](TTaskTable& t) { t.GoToNumber(1); }},
        {"CountRecords", [](TTaskTable& t) { (void)t.CountRecords(); }},
        {"FieldNamed", [](TTaskTable& t) { t.FieldNamed("num"); }},
        {"FieldAtIndex", [](TTaskTable& t) { t.FieldAtIndex(0); }},
        {"FindFirstMatch", [](TTaskTable& t) { t.FindFirstMatch("num", {std::int32_t{1}}); }},
        {"BeginNewRecord", [](TTaskTable& t) { t.BeginNewRecord(); }},
        {"BeginChangeRecord", [](TTaskTable& t) { t.BeginChangeRecord(); }},
        {"StoreRecord", [](TTaskTable& t) { t.StoreRecord(); }},
        {"RemoveRecord", [](TTaskTable& t) { t.RemoveRecord(); }},
        {"Snapshot", [](TTaskTable& t) { t.Snapshot(); }},
    };
    for (auto& [name, operation] : operations) {
        SCOPED_TRACE(name);
        TTaskTable table;
        TTaskField& field = table.FieldNamed("num");
        table.Close();
        try {
            operation(table);
            ADD_FAILURE() << "no error";
        } catch (const EDatabaseError& e) {
            EXPECT_EQ(e.Message, "Cannot perform this operation on a closed dataset");
        }
        EXPECT_THROW(field.AsString(), EDatabaseError);
    }
    TTaskTable table;
    table.Close();
    try {
        table.Open();
        FAIL();
    } catch (const EDatabaseError& e) {
        EXPECT_EQ(e.Message, "Missing data provider or data packet");
    }
    table.CreateDataSet();
    EXPECT_EQ(table.CountRecords(), 0);
}

TEST(TaskTableObservers, ChangesAreToldUnlessDisplayIsSuspended) {
    TTaskTable table;
    std::vector<TTableChange> seen;
    int id = table.AddObserver([&](TTableChange c) { seen.push_back(c); });
    AddRecord(table, {{"num", "1"}});
    AddRecord(table, {{"num", "2"}});
    table.GoFirst();
    table.RemoveRecord();
    using C = TTableChange;
    EXPECT_EQ(seen, (std::vector<C>{C::StateChanged, C::RecordStored, C::StateChanged, C::RecordStored, C::CursorMoved,
                                    C::RecordRemoved}));
    seen.clear();
    table.SuspendDisplay();
    table.SuspendDisplay();
    AddRecord(table, {{"num", "3"}});
    table.ResumeDisplay();
    EXPECT_TRUE(seen.empty());
    table.ResumeDisplay();
    EXPECT_EQ(seen, std::vector<C>{C::DataReset});
    table.RemoveObserver(id);
    seen.clear();
    table.GoFirst();
    EXPECT_TRUE(seen.empty());
}

TEST(TaskTableSnapshot, CopyCacheKeepsTheValuesOfTheMomentOfTheCopy) {
    TTaskTable table;
    AddRecord(table, {{"num", "1"}, {"taskName", "每日"}, {"Bak2Enabled", "True"}, {"RunHour", "20"}});
    TTaskTable cache(TTaskTable::TLayout::Cache);
    cache.LoadFromPacket(table.Snapshot());
    table.BeginChangeRecord();
    table.FieldNamed("taskName").SetAsString("changed");
    table.StoreRecord();
    // Paste: every cache field into the table field of the same name.
    cache.GoToNumber(1);
    table.BeginNewRecord();
    for (int i = 0; i < cache.FieldTotal(); ++i) {
        TTaskField& from = cache.FieldAtIndex(i);
        table.FieldNamed(from.Name()).SetValue(from.Value());
    }
    table.StoreRecord();
    EXPECT_EQ(table.CountRecords(), 2);
    EXPECT_EQ(table.FieldNamed("taskName").AsString(), A("每日"));
    EXPECT_EQ(table.FieldNamed("num").AsInteger(), 1);
    EXPECT_EQ(table.FieldNamed("RunTime1").AsString(), "20:00");
    EXPECT_TRUE(table.FieldNamed("Password").IsNull());
}

} // namespace
