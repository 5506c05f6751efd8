// Spreadsheet exchange: workbooks written here are read back by openpyxl, and
// workbooks made by openpyxl, by libxlsxwriter and by hand are imported.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <sys/stat.h>

#include <xlsxwriter.h>

#include "platform/Files.h"
#include "tasks/TaskFile.h"
#include "tasks/TaskSheet.h"
#include "tests/support/SheetTool.h"
#include "tests/support/TaskBuilder.h"

namespace {

AnsiString A(const char* utf8) { return Utf8ToAnsi(utf8); }

struct TTask {
    int Num;
    const char* Name;
    int Hour, Minute;
    bool Second = false;
    int Hour2 = 12, Minute2 = 0;
    const char* Topic = "";
    const char* Cc = "";
};

void AddTask(TTaskTable& table, const TTask& task) {
    StoreTestTask(table, TestTask([&](TTaskRecord& t) {
        t.Num = task.Num;
        t.TaskName = A(task.Name);
        t.RunHour = task.Hour;
        t.RunMinute = task.Minute;
        t.Bak2Enabled = task.Second;
        t.RunHour2 = task.Hour2;
        t.RunMinute2 = task.Minute2;
        t.BakDBName = "db1,db2";
        t.BakFilePath = "/bak";
        t.ToMailAddr = "a@b.c";
        t.MailTopic = A(task.Topic);
        t.ServerName = "srv";
        t.Password = "p=w";
        t.CcMailAddr = task.Cc;
    }));
}

class TaskSheetTest : public TSheetFolderTest {
protected:
    std::string ReadBack(const std::string& path) const { return ReadSheetBack(path); }
};

TEST_F(TaskSheetTest, ExportIsReadByOpenpyxlAsTextCellsWithoutEmptyOnes) {
    TTaskTable table;
    AddTask(table, {1, "=1+2", 20, 30, false, 12, 0, "a\rb\nc _x0041_ <date>", "cc@d.e"});
    AddTask(table, {2, "夜间", 8, 5, true, 21, 7});
    const std::string path = Path("out.xlsx");
    WriteTaskSheet(table, A(TaskSheetNameUtf8), path);
    // openpyxl decodes the escaped "_" of a literal "_x0041_" but shows CR in
    // its stored form "_x000D_", which Excel and LibreOffice decode (the round
    // trip reads it back as CR).

    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    const std::string expected = std::string(TaskSheetNameUtf8) + "\n" +
                                 "A1\ts\t@\t\"序号\"\nB1\ts\t@\t\"任务名称\"\nC1\ts\t@\t\"备1\"\nD1\ts\t@\t\"启用2\"\n"
                                 "E1\ts\t@\t\"备2\"\nF1\ts\t@\t\"执行时间(时)\"\nG1\ts\t@\t\"执行时间(分)\"\n"
                                 "H1\ts\t@\t\"执行时间2(分)\"\nI1\ts\t@\t\"执行时间2(时)\"\nJ1\ts\t@\t\"待备份数据库\"\n"
                                 "K1\ts\t@\t\"目标路径\"\nL1\ts\t@\t\"备份邮箱地址\"\nM1\ts\t@\t\"压缩开始时间(秒)\"\n"
                                 "N1\ts\t@\t\"邮件发送时间(秒)\"\nO1\ts\t@\t\"邮件主题格式\"\nP1\ts\t@\t\"服务器名\"\n"
                                 "Q1\ts\t@\t\"数据库名\"\nR1\ts\t@\t\"用户名\"\nS1\ts\t@\t\"密码\"\nT1\ts\t@\t\"抄送邮箱地址\"\n"
                                 "A2\ts\t@\t\"1\"\nB2\ts\t@\t\"=1+2\"\nC2\ts\t@\t\"20:30\"\nD2\ts\t@\t\"False\"\n"
                                 "E2\ts\t@\t\"无\"\nF2\ts\t@\t\"20\"\nG2\ts\t@\t\"30\"\nH2\ts\t@\t\"0\"\nI2\ts\t@\t\"12\"\n"
                                 "J2\ts\t@\t\"db1,db2\"\nK2\ts\t@\t\"/bak\"\nL2\ts\t@\t\"a@b.c\"\nM2\ts\t@\t\"30\"\n"
                                 "N2\ts\t@\t\"60\"\nO2\ts\t@\t\"a_x000D_b\\nc _x0041_ <date>\"\nP2\ts\t@\t\"srv\"\n"
                                 "Q2\ts\t@\t\"master\"\nR2\ts\t@\t\"sa\"\nS2\ts\t@\t\"p=w\"\nT2\ts\t@\t\"cc@d.e\"\n"
                                 "A3\ts\t@\t\"2\"\nB3\ts\t@\t\"夜间\"\nC3\ts\t@\t\"8:05\"\nD3\ts\t@\t\"True\"\n"
                                 "E3\ts\t@\t\"21:07\"\nF3\ts\t@\t\"8\"\nG3\ts\t@\t\"5\"\nH3\ts\t@\t\"7\"\nI3\ts\t@\t\"21\"\n"
                                 "J3\ts\t@\t\"db1,db2\"\nK3\ts\t@\t\"/bak\"\nL3\ts\t@\t\"a@b.c\"\nM3\ts\t@\t\"30\"\n"
                                 "N3\ts\t@\t\"60\"\nP3\ts\t@\t\"srv\"\nQ3\ts\t@\t\"master\"\nR3\ts\t@\t\"sa\"\n"
                                 "S3\ts\t@\t\"p=w\"\n";
    EXPECT_EQ(ReadBack(path), expected);
}

TEST_F(TaskSheetTest, ExportRefusesABadSheetNameOrFolder) {
    TTaskTable table;
    AddTask(table, {1, "one", 20, 30});
    EXPECT_THROW(WriteTaskSheet(table, "bad[name]", Path("x.xlsx")), ESheetError);
    EXPECT_FALSE(FileExists(Path("x.xlsx")));
    EXPECT_THROW(WriteTaskSheet(table, "ok", Path("missing/x.xlsx")), EFCreateError);
}

TEST_F(TaskSheetTest, RoundTripAppendsCopiesEqualInEveryStoredField) {
    TTaskTable table;
    // Line ends and tabs go through in the name; the subject may not hold them.
    AddTask(table, {1, "=1+2 a\rb\t", 20, 30, false, 12, 0, "_x0041_ <file>", "cc@d.e"});
    AddTask(table, {1, "夜间备份", 0, 0, true, 23, 59});
    table.BeginNewRecord(); // a record of empty fields but the must-haves
    table.FieldNamed("num").SetAsInteger(3);
    table.FieldNamed("RunHour").SetAsInteger(6);
    table.FieldNamed("RunMinute").SetAsInteger(0);
    table.StoreRecord();
    const std::string before = DumpTasks(table);
    WriteTaskSheet(table, "Tasks", Path("round.xlsx"));

    const TSheetImport import = AppendSheetRows(table, ReadFirstWorksheet(Path("round.xlsx")), "ID");
    EXPECT_EQ(import.Appended, 3);
    EXPECT_EQ(DumpTasks(table, 4), before);
    // Each copy runs at the time of its original.
    EXPECT_EQ(import.TooCloseNumbers, (std::vector<int>{4, 5, 6}));
}

struct TImportCase {
    const char* Fixture;
    int Appended;         // -1: refused
    const char* Message;  // part of the refusal, or of the close-times text
    const char* Expected; // Dump of the appended records, "" to skip
};

// The good row of the sheet tool, as stored.
#define GOOD_ROW "|夜间备份|20:30|False|无|20|30|0|12|db1,db2|/bak|a@b.c|30|60|主题<date>|srv|master|sa|pw|cc@d.e\n"

const TImportCase ImportCases[] = {
    {"good", 2, "", "1" GOOD_ROW "2|第二|8:05|True|21:15|8|5|15|21|db1,db2|/bak|a@b.c|30|60|主题<date>|srv|master|sa|pw|cc@d.e\n"},
    {"numbers", 1, "",
     "7|夜间备份|20:30|False|无|20|30|0|12|db1,db2|/bak|a@b.c|30|60|主题<date>|srv|master|sa|12345678901234|cc@d.e\n"},
    {"fraction", -1, "'1.5' is not a valid integer value for field '压缩开始时间(秒)'\n第2行", ""},
    {"booleans", 4, "该时间与已有备份任务间隔太短！\n夜间备份\n夜间备份", ""},
    {"date", -1, "字段 '执行时间(时)' 的单元格无法读取\n第2行", ""},
    {"formula", -1, "字段 '序号' 的单元格无法读取\n第2行", ""},
    {"error", -1, "字段 '执行时间(分)' 的单元格无法读取\n第2行", ""},
    {"empty", 0, "", ""},
    {"row5", 1, "", "5|第五行|20:30|False|无|20|30|0|12|db1,db2|/bak|a@b.c|30|60|主题<date>|srv|master|sa|pw|cc@d.e\n"},
    {"extra", 1, "", "1" GOOD_ROW},
    {"hour24", -1, "'24' 超出字段 '执行时间(时)' 的范围\n第2行", ""},
    {"minute-1", -1, "'-1' 超出字段 '执行时间(分)' 的范围\n第2行", ""},
    {"nohour", -1, "字段 '执行时间(时)' 不能为空\n第2行", ""},
    {"nosecond", -1, "字段 '执行时间2(时)' 不能为空\n第2行", ""},
    {"nosecond-unused", 1, "", "1|夜间备份|20:30|False|无|20|30|-|-|db1,db2|/bak|a@b.c|30|60|主题<date>|srv|master|sa|pw|cc@d.e\n"},
    {"long", -1, "超过字段 '数据库名' 的长度\n第2行", ""},
    {"long-cjk", -1, "超过字段 '任务名称' 的长度\n第2行", ""},
    {"not936", -1, "含有字段 '任务名称' 无法保存的字符\n第2行", ""},
    {"badint", -1, "'二十' is not a valid integer value for field '执行时间(时)'\n第2行", ""},
    {"badbool", -1, "'yes' is not a valid boolean value for field '启用2'\n第3行", ""},
    {"close", 2, "该时间与已有备份任务间隔太短！\n甲", ""},
    {"rich", 1, "", "9|夜间_x0041_&A|20:30|-|无|20|30|-|-|db1|-|-|-|-|-|-|-|-|-|-\n"},
    {"norefs", 2, "", "1" GOOD_ROW "3|无引用|7:45|-|无|7|45|-|-|-|-|-|-|-|-|-|-|-|-|-\n"},
    {"doctype", -1, "请选择EXCEL电子表格!\nxl/worksheets/sheet2.xml: document type declarations are not allowed", ""},
    {"badxml", -1, "请选择EXCEL电子表格!\nxl/worksheets/sheet2.xml: ", ""},
    {"bomb", -1, "请选择EXCEL电子表格!\nxl/worksheets/sheet2.xml: more than 64 MiB unpacked", ""},
    {"rows10002", -1, "工作表超过10000行", ""},
    {"rows10001", 10000, "该时间与已有备份任务间隔太短！", ""},
    {"ole2", -1, "不能读取.xls或加密的工作簿，请另存为.xlsx后导入", ""},
    {"random", -1, "请选择EXCEL电子表格!\n", ""},
    {"truncated", -1, "请选择EXCEL电子表格!\n", ""},
};

class SheetImport : public TaskSheetTest, public testing::WithParamInterface<TImportCase> {};

TEST_P(SheetImport, GivesTheRecordsOrTheRefusal) {
    const TImportCase& c = GetParam();
    TTaskTable table;
    AddTask(table, {1, "已有", 20, 40}); // 20:40: "close" puts its first task at 20:35
    const std::string before = DumpTasks(table);
    const std::string path = Fixture(c.Fixture);
    std::string message;
    try {
        const TSheetImport import = AppendSheetRows(table, ReadFirstWorksheet(path), "ID");
        EXPECT_EQ(import.Appended, c.Appended);
        message = AnsiToUtf8(TooCloseMessage(table, import));
        if (*c.Expected) {
            EXPECT_EQ(DumpTasks(table, 2), c.Expected);
        }
    } catch (const Exception& e) {
        message = AnsiToUtf8Lenient(e.Message);
        EXPECT_EQ(c.Appended, -1) << message;
        EXPECT_EQ(DumpTasks(table), before); // nothing half-imported
    }
    EXPECT_NE(message.find(c.Message), std::string::npos) << message;
    if (!*c.Message) {
        EXPECT_EQ(message, "");
    }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, SheetImport, testing::ValuesIn(ImportCases), [](const auto& test) {
    std::string name = test.param.Fixture;
    for (char& ch : name)
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
    return name;
});

TEST_F(TaskSheetTest, BooleanCellsAndTextsAsTheTableTakesThem) {
    TTaskTable table;
    AppendSheetRows(table, ReadFirstWorksheet(Fixture("booleans")), "ID");
    std::vector<std::string> values;
    for (table.GoFirst(); !table.IsPastEnd(); table.GoNext())
        values.push_back(table.FieldNamed("Bak2Enabled").AsString() + "/" + table.FieldNamed("RunTime2").AsString());
    EXPECT_EQ(values, (std::vector<std::string>{"True/2:01", "True/12:00", "False/" + A("无"), "True/12:00"}));
}

TEST_F(TaskSheetTest, ExcludedAndCalculatedColumnsAreNotRead) {
    TTaskTable table;
    // The date in 执行时间(时) would be refused, but that column is excluded.
    AppendSheetRows(table, ReadFirstWorksheet(Fixture("date")), " runhour ;x");
    table.GoFirst();
    EXPECT_TRUE(table.FieldNamed("RunHour").IsNull());
    EXPECT_EQ(table.FieldNamed("taskName").AsString(), A("夜间备份"));
}

TEST_F(TaskSheetTest, ACachedFormulaFromLibxlsxwriterReadsAsItsValue) {
    const std::string path = Path("formula.xlsx");
    lxw_workbook* workbook = workbook_new(path.c_str());
    ASSERT_NE(workbook, nullptr);
    lxw_worksheet* sheet = workbook_add_worksheet(workbook, nullptr);
    worksheet_write_string(sheet, 0, 0, "序号", nullptr);
    worksheet_write_formula_num(sheet, 1, 0, "=1+2", nullptr, 3);
    worksheet_write_formula_str(sheet, 1, 1, "=\"a\"&\"b\"", nullptr, "ab");
    worksheet_write_number(sheet, 1, 5, 20, nullptr);
    worksheet_write_number(sheet, 1, 6, 30, nullptr);
    worksheet_write_boolean(sheet, 1, 3, 1, nullptr);
    worksheet_write_number(sheet, 1, 7, 0, nullptr);
    worksheet_write_number(sheet, 1, 8, 7, nullptr);
    ASSERT_EQ(workbook_close(workbook), LXW_NO_ERROR);

    TTaskTable table;
    ASSERT_EQ(AppendSheetRows(table, ReadFirstWorksheet(path), "ID").Appended, 1);
    EXPECT_EQ(DumpTasks(table), "3|ab|20:30|True|7:00|20|30|0|7|-|-|-|-|-|-|-|-|-|-|-\n");
}

TEST(SheetCells, NumberAndDateForms) {
    struct Case {
        const char* Code;
        bool Date;
    };
    const Case codes[] = {{"General", false}, {"0.00E+00", false}, {"@", false}, {"#,##0;[Red]-#,##0", false},
                          {"yyyy-mm-dd", true}, {"[h]:mm", true}, {"\"d\"0", false}, {"[$-804]0", false},
                          {"h:mm AM/PM", true}, {"0\\d", false}, {"[ss]", true}};
    for (const Case& c : codes) EXPECT_EQ(IsDateFormatCode(c.Code), c.Date) << c.Code;
    for (int id : {14, 22, 27, 36, 45, 47, 50, 58}) EXPECT_TRUE(IsBuiltInDateFormat(id)) << id;
    for (int id : {0, 1, 13, 23, 26, 37, 44, 48, 49, 59, 164}) EXPECT_FALSE(IsBuiltInDateFormat(id)) << id;
}

TEST_F(TaskSheetTest, AMissingFileIsAnOpenError) {
    EXPECT_THROW(ReadFirstWorksheet(Path("none.xlsx")), EFOpenError);
}

} // namespace
