// The task file: golden bytes of the empty packet, round trips, binding by
// column name, every load error, hostile bytes, and saving.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Files.h"
#include "tasks/TaskFile.h"
#include "tasks/TaskPacket.h"

namespace {

AnsiString A(const char* utf8) { return Utf8ToAnsi(utf8); }

// A folder of its own per test, removed afterwards.
class TaskFileTest : public testing::Test {
protected:
    void SetUp() override {
        std::string pattern = TempFolder() + "quorvel-taskfile-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern + "/";
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string Path(const char* name) const { return dir_ + name; }
    static void Write(const std::string& path, std::string_view bytes) {
        ASSERT_EQ(ReplaceFileContent(path, bytes), 0);
    }
    std::string dir_;
};

void Le16(AnsiString& s, unsigned v) {
    s += static_cast<char>(v & 0xFF);
    s += static_cast<char>((v >> 8) & 0xFF);
}

// The empty packet written out by hand from the file layout, independently of
// the codec: header, one descriptor per column, closing word.
AnsiString ExpectedEmptyPacket() {
    struct Column {
        const char* name;
        unsigned type, size, width;
    };
    const Column columns[] = {
        {"num", 1, 4, 0},          {"taskName", 0x49, 1, 50},  {"Bak2Enabled", 3, 2, 0},   {"RunHour", 1, 4, 0},
        {"RunMinute", 1, 4, 0},    {"RunMinute2", 1, 4, 0},    {"RunHour2", 1, 4, 0},      {"RarTimeAfter", 1, 4, 0},
        {"SendTimeAfter", 1, 4, 0}, {"ServerName", 0x49, 1, 50}, {"DBName", 0x49, 1, 20},  {"UserName", 0x49, 1, 20},
        {"Password", 0x49, 1, 20}, {"BakDBName", 0x49, 1, 100}, {"BakFilePath", 0x49, 1, 50}, {"ToMailAddr", 0x49, 1, 50},
        {"CcMailAddr", 0x49, 1, 50}, {"MailTopic", 0x49, 1, 200},
    };
    AnsiString s("\x96\x19\xE0\xBD\x01\x00\x00\x00\x18\x00\x00\x00\x12\x00\x00\x00\x00\x00\x03\x00\x00\x00\xD6\x01", 24);
    for (const Column& c : columns) {
        s += static_cast<char>(std::strlen(c.name));
        s += c.name;
        Le16(s, c.size);
        Le16(s, c.type);
        Le16(s, 0);
        Le16(s, c.width ? 1 : 0);
        if (c.width) {
            s += "\x05WIDTH";
            Le16(s, 2);
            Le16(s, 2);
            Le16(s, c.width);
        }
    }
    Le16(s, 0);
    return s;
}

void AddFullTask(TTaskTable& t, int n) {
    t.BeginNewRecord();
    t.FieldNamed("num").SetAsInteger(n);
    t.FieldNamed("taskName").SetAsString(A("全角文字的任务名称：每日备份") + std::to_string(n));
    t.FieldNamed("Bak2Enabled").SetAsBoolean(n % 2 == 1);
    t.FieldNamed("RunHour").SetAsInteger(23);
    t.FieldNamed("RunMinute").SetAsInteger(59);
    t.FieldNamed("RunHour2").SetAsInteger(0);
    t.FieldNamed("RunMinute2").SetAsInteger(0);
    t.FieldNamed("RarTimeAfter").SetAsInteger(INT32_MIN);
    t.FieldNamed("SendTimeAfter").SetAsInteger(INT32_MAX);
    t.FieldNamed("ServerName").SetAsString("srv\\inst,1433");
    t.FieldNamed("DBName").SetAsString(AnsiString(20, 'd'));
    t.FieldNamed("UserName").SetAsString("sa");
    t.FieldNamed("Password").SetAsString("p\xFF\t\"'");
    t.FieldNamed("BakDBName").SetAsString(A("销售,人事"));
    t.FieldNamed("BakFilePath").SetAsString("D:\\bak\\");
    t.FieldNamed("ToMailAddr").SetAsString("a@b.c");
    t.FieldNamed("CcMailAddr").SetAsString("c@d.e");
    t.FieldNamed("MailTopic").SetAsString(A("<file> 备份 <date>"));
    t.StoreRecord();
}

std::vector<std::vector<TFieldValue>> AllValues(TTaskTable& t) {
    std::vector<std::vector<TFieldValue>> rows;
    for (t.GoFirst(); !t.IsPastEnd(); t.GoNext()) {
        rows.emplace_back();
        for (int i = 0; i < t.FieldTotal(); ++i) rows.back().push_back(t.FieldAtIndex(i).Value());
    }
    return rows;
}

AnsiString ErrorOfLoad(TTaskTable& table, std::string_view bytes) {
    try {
        table.LoadFromPacket(bytes);
    } catch (const Exception& e) {
        return e.Message;
    }
    return "";
}

TEST_F(TaskFileTest, EmptyTableSavesTheGoldenEmptyPacket) {
    TTaskTable table;
    SaveToFile(table, Path("task.ini"));
    std::string bytes;
    ASSERT_TRUE(ReadWholeFile(Path("task.ini"), bytes));
    EXPECT_EQ(bytes.size(), 470u);
    EXPECT_EQ(bytes, ExpectedEmptyPacket());
    TTaskTable loaded;
    AddFullTask(loaded, 1);
    LoadFromFile(loaded, Path("task.ini"));
    EXPECT_TRUE(loaded.IsOpen());
    EXPECT_EQ(loaded.CountRecords(), 0);
    EXPECT_TRUE(loaded.IsPastEnd());
}

TEST_F(TaskFileTest, RoundTripKeepsEveryFieldEmptyValuesIncluded) {
    TTaskTable table;
    AddFullTask(table, 1);
    AddFullTask(table, 2);
    table.BeginNewRecord(); // a record with only some fields, as paste and import make them
    table.FieldNamed("num").SetAsInteger(3);
    table.FieldNamed("Bak2Enabled").SetAsBoolean(false);
    table.StoreRecord();
    table.BeginNewRecord(); // and one with none at all
    table.StoreRecord();
    SaveToFile(table, Path("task.ini"));
    TTaskTable loaded;
    LoadFromFile(loaded, Path("task.ini"));
    EXPECT_EQ(loaded.CurrentNumber(), 1);
    EXPECT_EQ(AllValues(loaded), AllValues(table));
    loaded.GoToNumber(4);
    for (int i = 0; i < loaded.FieldTotal(); ++i)
        if (!loaded.FieldAtIndex(i).IsCalculated()) {
            EXPECT_TRUE(loaded.FieldAtIndex(i).IsNull()) << i;
        }
    // Saved again: the same bytes.
    SaveToFile(loaded, Path("again.ini"));
    std::string first, second;
    ASSERT_TRUE(ReadWholeFile(Path("task.ini"), first));
    ASSERT_TRUE(ReadWholeFile(Path("again.ini"), second));
    EXPECT_EQ(first, second);
    EXPECT_EQ(first.substr(0, 470).substr(24), ExpectedEmptyPacket().substr(24)); // same columns, same order
    EXPECT_EQ(static_cast<unsigned char>(first[14]), 4); // record count
}

TEST_F(TaskFileTest, SaveFoldsInAPendingRecord) {
    TTaskTable table;
    table.BeginNewRecord();
    table.FieldNamed("num").SetAsInteger(1);
    SaveToFile(table, Path("task.ini"));
    TTaskTable loaded;
    LoadFromFile(loaded, Path("task.ini"));
    EXPECT_EQ(loaded.CountRecords(), 1);
}

TEST_F(TaskFileTest, ColumnsBindByNameInAnyOrderAndOthersAreIgnored) {
    TTaskTable table;
    AddFullTask(table, 1);
    AddFullTask(table, 2);
    TPacket packet = DecodePacket(table.Snapshot());
    TPacket shuffled;
    // Reversed, names in other letter case, and a foreign column in between.
    for (std::size_t c = packet.Columns.size(); c-- > 0;) {
        TPacketColumn column = packet.Columns[c];
        column.Name = AnsiUpperCase(column.Name);
        shuffled.Columns.push_back(column);
        if (c == 9) shuffled.Columns.push_back(TPacketColumn{"Extra", 1, PacketTypeText, 5});
    }
    for (const auto& row : packet.Rows) {
        std::vector<TFieldValue> out;
        for (std::size_t c = row.size(); c-- > 0;) {
            out.push_back(row[c]);
            if (c == 9) out.push_back(AnsiString("xx"));
        }
        shuffled.Rows.push_back(out);
    }
    TTaskTable loaded;
    loaded.LoadFromPacket(EncodePacket(shuffled));
    EXPECT_EQ(AllValues(loaded), AllValues(table));
}

TEST_F(TaskFileTest, MissingOrMistypedColumnStopsTheLoadAndLeavesTheTableClosed) {
    struct Case {
        const char* column;
        std::uint16_t newType; // 0: the column is dropped
        const char* message;
    };
    const Case cases[] = {
        {"num", 0, "Field '序号' not found"},
        {"MailTopic", 0, "Field '邮件主题格式' not found"},
        {"Bak2Enabled", 0, "Field '启用2' not found"},
        {"num", PacketTypeText, "Type mismatch for field '序号', expecting: Integer actual: String"},
        {"Bak2Enabled", PacketTypeInteger, "Type mismatch for field '启用2', expecting: Boolean actual: Integer"},
        {"taskName", PacketTypeBoolean, "Type mismatch for field '任务名称', expecting: String actual: Boolean"},
        {"RunHour", 4, "Type mismatch for field '执行时间(时)', expecting: Integer actual: Unknown (4)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        TTaskTable source;
        AddFullTask(source, 1);
        TPacket packet = DecodePacket(source.Snapshot());
        for (std::size_t i = 0; i < packet.Columns.size(); ++i) {
            if (packet.Columns[i].Name != c.column) continue;
            if (c.newType == 0) {
                packet.Columns.erase(packet.Columns.begin() + static_cast<long>(i));
                packet.Rows[0].erase(packet.Rows[0].begin() + static_cast<long>(i));
            } else {
                packet.Columns[i].TypeCode = c.newType;
                packet.Columns[i].FieldSize = c.newType == PacketTypeInteger ? 4 : c.newType == PacketTypeBoolean ? 2 : 1;
                packet.Columns[i].Width = c.newType == PacketTypeText ? 10 : -1;
                packet.Rows[0][i] = TFieldValue{}; // an empty value fits any type
            }
        }
        Write(Path("task.ini"), EncodePacket(packet));
        TTaskTable table;
        try {
            LoadFromFile(table, Path("task.ini"));
            ADD_FAILURE() << "loaded";
        } catch (const EDatabaseError& e) {
            EXPECT_EQ(e.Message, A(c.message));
        }
        EXPECT_FALSE(table.IsOpen());
        EXPECT_THROW(table.CountRecords(), EDatabaseError);
    }
}

TEST_F(TaskFileTest, FilesThatDoNotLoadGiveTheirErrors) {
    TTaskTable table;
    try {
        LoadFromFile(table, Path("missing.ini"));
        FAIL();
    } catch (const EFOpenError& e) {
        EXPECT_EQ(e.Message, "Cannot open file \"" + Path("missing.ini") + "\". No such file or directory");
    }
    EXPECT_FALSE(table.IsOpen());

    Write(Path("empty.ini"), "");
    table.CreateDataSet();
    try {
        LoadFromFile(table, Path("empty.ini"));
        FAIL();
    } catch (const EDatabaseError& e) {
        EXPECT_EQ(e.Message, "Missing data provider or data packet");
    }
    EXPECT_FALSE(table.IsOpen());
    EXPECT_THROW(table.Open(), EDatabaseError);
}

// Crafted and damaged packets: each a clear error, the table closed.
TEST_F(TaskFileTest, CorruptPacketsAreRefusedWithAReason) {
    TTaskTable source;
    AddFullTask(source, 1);
    const AnsiString good = source.Snapshot();
    auto patched = [&](std::size_t offset, std::string_view bytes) {
        AnsiString s = good;
        s.replace(offset, bytes.size(), bytes);
        return s;
    };
    struct Case {
        const char* name;
        AnsiString bytes;
        const char* reason;
    };
    const Case cases[] = {
        {"wrong signature", patched(0, "\x96\x19\xE0\xBE"), "not a data packet (wrong signature)"},
        {"short header", good.substr(0, 10), "header cut short"},
        {"header size too small", patched(8, std::string("\x10\x00\x00\x00", 4)), "wrong header size"},
        {"header size beyond the file", patched(8, std::string("\xFF\xFF\x00\x00", 4)), "wrong header size"},
        {"column count too big", patched(12, std::string("\xFF\xFF", 2)), "column descriptors cut short"},
        {"column count too small", patched(12, std::string("\x11\x00", 2)), "closing word is not zero"},
        {"record count too big", patched(14, std::string("\x02\x00\x00\x00", 4)), "record cut short"},
        {"absurd record count", patched(14, std::string("\xFF\xFF\xFF\x7F", 4)), "records cut short"},
        {"record count too small", patched(14, std::string("\x00\x00\x00\x00", 4)), "bytes after the last record"},
        {"descriptor end wrong", patched(22, std::string("\xD7\x01", 2)), "descriptor size in the header does not match"},
        {"name length off", patched(24, "\xFF"), "column property cut short"},
        {"integer of wrong size", patched(28, std::string("\x05\x00", 2)), "field size does not fit the column type"},
        {"closing word not zero", patched(468, "\x01"), "closing word is not zero"},
        {"text longer than its width", patched(470 + 6, std::string("\x40\x00", 2)), "text longer than its column"},
        {"integer value of 3 bytes", patched(470, std::string("\x03\x00", 2)), "integer value of wrong length"},
        {"value length beyond the file", patched(470, std::string("\xFE\xFF", 2)), "record cut short"},
        {"truncated record", good.substr(0, good.size() - 3), "record cut short"},
        {"trailing byte", good + "x", "bytes after the last record"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TTaskTable table;
        EXPECT_EQ(ErrorOfLoad(table, c.bytes), AnsiString("Invalid data packet: ") + c.reason);
        EXPECT_FALSE(table.IsOpen());
    }
    // Every cut of a valid file is refused, none crashes.
    for (std::size_t n = 1; n < good.size(); ++n) {
        TTaskTable table;
        EXPECT_FALSE(ErrorOfLoad(table, good.substr(0, n)).empty()) << n;
        EXPECT_FALSE(table.IsOpen());
    }
}

TEST_F(TaskFileTest, ANewFileIsPrivateAndAnExistingOneKeepsItsMode) {
    TTaskTable table;
    AddFullTask(table, 1);
    SaveToFile(table, Path("task.ini"));
    struct stat st {};
    ASSERT_EQ(stat(Path("task.ini").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(chmod(Path("task.ini").c_str(), 0640), 0);
    table.RemoveRecord();
    SaveToFile(table, Path("task.ini"));
    ASSERT_EQ(stat(Path("task.ini").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    TTaskTable loaded;
    LoadFromFile(loaded, Path("task.ini"));
    EXPECT_EQ(loaded.CountRecords(), 0); // each save replaces the whole file
    // No temporary file is left beside it.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_), std::filesystem::directory_iterator()), 1);
}

TEST_F(TaskFileTest, ASaveThatCannotCreateTheFileRaisesAndChangesNothing) {
    TTaskTable table;
    AddFullTask(table, 1);
    std::string bad = Path("no-such-folder/task.ini");
    try {
        SaveToFile(table, bad);
        FAIL();
    } catch (const EFCreateError& e) {
        EXPECT_EQ(e.Message, "Cannot create file \"" + bad + "\". No such file or directory");
    }
    ASSERT_EQ(mkdir(Path("dir.ini").c_str(), 0700), 0);
    EXPECT_THROW(SaveToFile(table, Path("dir.ini")), EFCreateError);
    EXPECT_EQ(table.CountRecords(), 1);
}

} // namespace

namespace {

// Loads `path` and returns the EFOpenError's text ("" when it loaded).
std::string OpenErrorOf(const std::string& path) {
    TTaskTable table;
    try {
        LoadFromFile(table, path);
    } catch (const EFOpenError& e) {
        EXPECT_FALSE(table.IsOpen());
        return e.Message;
    }
    return {};
}

class TaskFileGuardsTest : public TaskFileTest {};

TEST_F(TaskFileGuardsTest, OnlyRegularFilesWithinTheBoundAreRead) {
    ASSERT_EQ(mkfifo(Path("fifo.ini").c_str(), 0600), 0);
    // Sparse: the size counts, not the blocks.
    { std::ofstream(Path("huge.ini")); }
    std::filesystem::resize_file(Path("huge.ini"), MaxTaskFileSize + 1);
    struct Case {
        std::string path;
        std::string reason;
    };
    const Case cases[] = {
        {Path("fifo.ini"), "Not a regular file"}, // would wait for a writer for ever
        {"/dev/zero", "Not a regular file"},       // would never end
        {Path("huge.ini"), "File too large (" + std::to_string(MaxTaskFileSize + 1) + " bytes; at most " +
                               std::to_string(MaxTaskFileSize) + ")"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(OpenErrorOf(c.path), "Cannot open file \"" + c.path + "\". " + c.reason);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    }
}

TEST_F(TaskFileGuardsTest, ASavedLinkStaysALinkToTheSavedFile) {
    ASSERT_EQ(mkdir(Path("real").c_str(), 0700), 0);
    TTaskTable table;
    AddFullTask(table, 1);
    SaveToFile(table, Path("real/task.ini"));
    ASSERT_EQ(symlink("real/task.ini", Path("task.ini").c_str()), 0);
    AddFullTask(table, 2);
    SaveToFile(table, Path("task.ini"));

    struct stat st {};
    ASSERT_EQ(lstat(Path("task.ini").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    TTaskTable loaded;
    LoadFromFile(loaded, Path("real/task.ini"));
    EXPECT_EQ(loaded.CountRecords(), 2);
    // A link to a file not there yet is written through as well.
    ASSERT_EQ(symlink("real/later.ini", Path("later.ini").c_str()), 0);
    SaveToFile(table, Path("later.ini"));
    ASSERT_EQ(lstat(Path("later.ini").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_TRUE(FileExists(Path("real/later.ini")));
}

TEST_F(TaskFileGuardsTest, TemporariesOfAnInterruptedSaveAreRemovedAtTheNextOne) {
    // What a save killed between write and rename leaves behind, and names
    // that only look alike.
    for (const char* name : {"task.ini.a1B2c3", "task.ini.ZZZZZZ"}) Write(Path(name), "half a packet");
    for (const char* name : {"task.ini.lock", "task.ini.abc", "task.ini.abcdefg", "task.ini.ab-cde", "other.ini.a1B2c3"})
        Write(Path(name), "keep");
    TTaskTable table;
    AddFullTask(table, 1);
    SaveToFile(table, Path("task.ini"));
    EXPECT_FALSE(FileExists(Path("task.ini.a1B2c3")));
    EXPECT_FALSE(FileExists(Path("task.ini.ZZZZZZ")));
    for (const char* name : {"task.ini.lock", "task.ini.abc", "task.ini.abcdefg", "task.ini.ab-cde", "other.ini.a1B2c3"})
        EXPECT_TRUE(FileExists(Path(name))) << name;
}

TEST_F(TaskFileGuardsTest, TheWriterLockIsExclusiveBoundedAndPrivate) {
    const std::string file = Path("task.ini");
    {
        TTaskFileLock held(file);
        struct stat st {};
        ASSERT_EQ(stat(TTaskFileLock::LockPathOf(file).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        const auto start = std::chrono::steady_clock::now();
        try {
            TTaskFileLock second(file, std::chrono::milliseconds(300));
            ADD_FAILURE() << "a second writer got the lock";
        } catch (const ETaskFileLocked& e) {
            EXPECT_NE(e.Message.find("is being changed by another program"), std::string::npos) << e.Message;
        }
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
    }
    // Free again once the holder is gone; a link shares its target's lock.
    ASSERT_EQ(symlink("task.ini", Path("link.ini").c_str()), 0);
    EXPECT_EQ(TTaskFileLock::LockPathOf(Path("link.ini")), TTaskFileLock::LockPathOf(file));
    TTaskFileLock again(Path("link.ini"), std::chrono::milliseconds(0));
}

} // namespace
