// Which archiver the batch file calls, and the line it holds for each.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "pipeline/ArchiverChoice.h"
#include "platform/Files.h"

namespace fs = std::filesystem;

namespace {

TEST(ArchiverChoice, SettingTimesRarPresence) {
    struct Case {
        const char* setting;
        bool rarFound;
        TArchiverKind kind;
        const char* extension;
    };
    const Case cases[] = {
        {"auto", true, akRar, ".rar"},  {"auto", false, akZip, ".zip"}, {" AUTO ", false, akZip, ".zip"},
        {"rar", true, akRar, ".rar"},   {"Rar", false, akRar, ".rar"},  {"zip", true, akZip, ".zip"},
        {"ZIP", false, akZip, ".zip"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.setting) + (c.rarFound ? ", rar found" : ", no rar"));
        TArchiverSetting setting = asAuto;
        ASSERT_TRUE(ArchiverSettingFromText(c.setting, setting));
        const TArchiverKind kind = ChooseArchiver(setting, c.rarFound);
        EXPECT_EQ(kind, c.kind);
        EXPECT_STREQ(ArchiveExtension(kind), c.extension);
    }
    TArchiverSetting setting = asRar;
    for (const char* bad : {"", "7z", "winrar", "zip2"}) EXPECT_FALSE(ArchiverSettingFromText(bad, setting)) << bad;
}

TEST(ArchiverChoice, BatchLinesOfBothArchivers) {
    struct Case {
        const char* name;
        TArchiverKind kind;
        std::string exeFolder, backup, zip, line3;
    };
    const Case cases[] = {
        {"rar, unchanged", akRar, "/opt/q/", "/var/backup", "/opt/q/quorvelzip",
         "rar a -r -ag /opt/q/bak/ /var/backup/"},
        {"built-in, same operands", akZip, "/opt/q/", "/var/backup", "/opt/q/quorvelzip",
         "/opt/q/quorvelzip a -r -ag /opt/q/bak/ /var/backup/"},
        {"built-in under a folder with a blank", akZip, "/opt/my q/", "/srv/a b", "/opt/my q/quorvelzip",
         "\"/opt/my q/quorvelzip\" a -r -ag \"/opt/my q/bak/\" \"/srv/a b/\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ArchiverBatchText(c.kind, c.exeFolder, c.backup, c.zip),
                  "@Echo off\r\npath /opt/rar;/usr/local/rar;%path%\r\n" + c.line3 + "\r\n");
    }
    EXPECT_THROW(ArchiverBatchText(akZip, "/opt/q/", "/var/backup", ""), EBatchOperandError)
        << "no built-in archiver: a clear error, not a line that runs nothing";
    EXPECT_THROW(ArchiverBatchText(akRar, "/opt/q/", "-rf /", ""), EBatchOperandError);
}

TEST(ArchiverChoice, FindsRarOnTheSearchPathAndQuorvelzipBesideTheProgram) {
    const fs::path dir = fs::temp_directory_path() / ("quorvel-choice-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "bin");
    fs::create_directories(dir / "q" / "quorvelctl");
    auto executable = [](const fs::path& path) {
        std::ofstream(path) << "#!/bin/sh\n";
        fs::permissions(path, fs::perms::owner_all);
    };
    if (FindRar("").empty()) {
        EXPECT_EQ(FindRar("/nonexistent:" + (dir / "bin").string()), "");
        std::ofstream(dir / "bin" / "rar") << "not executable";
        EXPECT_EQ(FindRar((dir / "bin").string()), "") << "a file that cannot run is no archiver";
        executable(dir / "bin" / "rar");
        EXPECT_EQ(FindRar("/nonexistent:" + (dir / "bin").string()), (dir / "bin" / "rar").string());
    }
    OverrideExeFolder((dir / "q" / "quorvelctl").string() + "/");
    EXPECT_EQ(FindZipArchiver(), "");
    executable(dir / "q" / "quorvelzip"); // the build tree: one folder up
    EXPECT_EQ(FindZipArchiver(), (dir / "q" / "quorvelzip").string());
    executable(dir / "q" / "quorvelctl" / "quorvelzip"); // beside the program comes first
    EXPECT_EQ(FindZipArchiver(), (dir / "q" / "quorvelctl" / "quorvelzip").string());
    OverrideExeFolder("");
    fs::remove_all(dir);
}

} // namespace
