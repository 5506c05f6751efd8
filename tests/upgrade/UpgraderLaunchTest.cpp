// Handing over to the upgrader: the image carried inside the program, the
// private folder it is written to, the leftovers of earlier upgrades, and the
// whole chain for a running program that is replaced and started again.
#include <gtest/gtest.h>

#include <elf.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstring>
#include <optional>

#include "platform/Exception.h"
#include "platform/Files.h"
#include "tests/upgrade/UpgraderFixture.h"
#include "upgrade/UpgraderImage.h"
#include "upgrade/UpgraderLaunch.h"
#include "upgrade/upgrader/UpgraderNames.h"

using namespace upgrader_test;

namespace {

std::vector<std::string> Entries(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(UpgraderImageTest, IsTheBuiltUpgraderStaticallyLinked) {
    const std::span<const unsigned char> image = UpgraderImage();
    const std::string built = ReadAll(QUORVEL_UPGRADER_PROGRAM);
    ASSERT_EQ(image.size(), built.size()) << "the embedded image is not the current build";
    EXPECT_EQ(std::memcmp(image.data(), built.data(), built.size()), 0);

    ASSERT_GE(image.size(), sizeof(Elf64_Ehdr));
    Elf64_Ehdr header;
    std::memcpy(&header, image.data(), sizeof header);
    ASSERT_EQ(std::memcmp(header.e_ident, ELFMAG, SELFMAG), 0);
    EXPECT_EQ(header.e_type, ET_EXEC);
    for (unsigned i = 0; i < header.e_phnum; ++i) {
        Elf64_Phdr program;
        ASSERT_LE(header.e_phoff + (i + 1) * sizeof program, image.size());
        std::memcpy(&program, image.data() + header.e_phoff + i * sizeof program, sizeof program);
        EXPECT_NE(program.p_type, PT_INTERP) << "needs a dynamic loader";
        EXPECT_NE(program.p_type, PT_DYNAMIC) << "needs shared libraries";
    }
}

TEST(UpgraderLaunchTest, ArgumentsDefaultToTheOwnProcess) {
    EXPECT_EQ(UpgraderArguments({"", 0, "/afterupgrade0"}),
              (std::vector<std::string> {"--wait-pid=" + std::to_string(::getpid()), ExePath(), "+/afterupgrade0"}));
    EXPECT_EQ(UpgraderArguments({"/opt/my app/+q", 42, "/afterupgrade1"}),
              (std::vector<std::string> {"--wait-pid=42", "/opt/my app/+q", "+/afterupgrade1"}));
}

// ---------------------------------------------------------------- where the upgrader is written

struct TFolderCase {
    const char* Name;
    const char* Temp;        // TMPDIR inside the scratch folder
    const char* ExeFolder;   // the executable's folder inside it
    const char* WrittenTo;   // "" when no folder is usable
};

std::ostream& operator<<(std::ostream& out, const TFolderCase& c) { return out << c.Name; }

class UpgraderFolderTest : public ::testing::TestWithParam<TFolderCase> {};

TEST_P(UpgraderFolderTest, UsesTheFirstUsableFolder) {
    const TFolderCase& c = GetParam();
    TScratchFolder scratch;
    fs::create_directories(scratch.Path() + "tmp");
    fs::create_directories(scratch.Path() + "exe");
    WriteAll(scratch.Path() + "file", "a file, not a folder", 0644);
    // The upgrader waits half a second for this process, gives up and ends.
    TEnvironmentScope env({{"TMPDIR", scratch.Path() + c.Temp},
                           {WaitLimitVariable, "500"},
                           {"QUORVEL_SYSTEM_LOG", scratch.Path() + "system.log"}});
    OverrideExeFolder(scratch.Path() + c.ExeFolder);
    const TUpgraderLaunch launch {scratch.Path() + "app/quorvel", ::getpid(), "/afterupgrade0"};

    if (!*c.WrittenTo) {
        try {
            StartUpgrader(launch);
            FAIL() << "started without a usable folder";
        } catch (const Exception& e) {
            EXPECT_NE(e.Message.find(scratch.Path() + c.Temp), std::string::npos) << e.Message;
            EXPECT_NE(e.Message.find(scratch.Path() + c.ExeFolder), std::string::npos) << e.Message;
        }
        return;
    }
    const pid_t pid = StartUpgrader(launch);
    char buffer[4096] {};
    const ssize_t n = ::readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), buffer, sizeof buffer - 1);
    const std::string running(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
    EXPECT_EQ(WaitForChild(pid), 1);
    const std::string folder = scratch.Path() + c.WrittenTo + "/";
    EXPECT_EQ(running.rfind(folder + UpgraderFolderPrefix, 0), 0u) << running;
    EXPECT_NE(running.find(std::string("/") + UpgraderFileName), std::string::npos) << running;
    // The upgrader removed its file and its folder.
    EXPECT_EQ(Entries(folder), std::vector<std::string> {});
}

INSTANTIATE_TEST_SUITE_P(Cases, UpgraderFolderTest,
                         ::testing::Values(TFolderCase {"TemporaryFolder", "tmp", "exe", "tmp"},
                                           TFolderCase {"TemporaryFolderMissing", "none", "exe", "exe"},
                                           TFolderCase {"TemporaryFolderIsAFile", "file", "exe", "exe"},
                                           TFolderCase {"NoUsableFolder", "none", "none2", ""}),
                         [](const auto& test) { return std::string(test.param.Name); });

TEST(UpgraderLaunchTest, RemovesOnlyOurOwnLeftovers) {
    TScratchFolder scratch;
    const std::string tmp = scratch.Path() + "tmp/";
    const std::string exe = scratch.Path() + "exe/";
    for (const std::string& folder : {tmp + "quorvel-upgrader-AAAAAA", tmp + "quorvel-upgrader-BBBBBB",
                                      tmp + "quorvel-upgrader-OTHER", tmp + "other-folder", exe + "quorvel-upgrader-CCCCCC",
                                      scratch.Path() + "target"})
        fs::create_directories(folder);
    WriteAll(tmp + "quorvel-upgrader-AAAAAA/Upgrader3", "old upgrader", 0700);
    WriteAll(tmp + "quorvel-upgrader-OTHER/Upgrader3", "someone else's", 0700);
    WriteAll(tmp + "other-folder/x", "not ours", 0644);
    WriteAll(exe + "quorvel-upgrader-CCCCCC/Upgrader3", "old upgrader", 0700);
    WriteAll(scratch.Path() + "target/keep", "behind a link", 0644);
    fs::create_directory_symlink(scratch.Path() + "target", tmp + "quorvel-upgrader-link");
    // A folder of another user stays, whatever its name.
    ASSERT_EQ(::chown((tmp + "quorvel-upgrader-OTHER").c_str(), 65534, 65534), 0);

    TEnvironmentScope env({{"TMPDIR", tmp}});
    OverrideExeFolder(exe);
    RemoveUpgraderLeftovers();

    EXPECT_EQ(Entries(tmp), (std::vector<std::string> {"other-folder", "quorvel-upgrader-OTHER", "quorvel-upgrader-link"}));
    EXPECT_EQ(Entries(exe), std::vector<std::string> {});
    EXPECT_EQ(ReadAll(scratch.Path() + "target/keep"), "behind a link");
    EXPECT_EQ(ReadAll(tmp + "other-folder/x"), "not ours");
}

// ---------------------------------------------------------------- the whole hand-over

TEST(UpgraderLaunchTest, ReplacesTheRunningProgramAndStartsItAgain) {
    THandOverFolders folders;
    const TScratchFolder& scratch = folders.Scratch;
    const std::string& folder = folders.Folder;
    const std::string& tmp = folders.Tmp;
    TEnvironmentScope env({{"TMPDIR", tmp},
                           {"QUORVEL_SYSTEM_LOG", scratch.Path() + "system.log"},
                           {"QUORVEL_STANDIN_DETAIL", "1"}});
    Create(folder, Program("quorvel", "old"));
    Create(folder, Program("quorvel", "new"), StagedSuffix, 0600);
    Create(folder, Text("data.dat", "new data"), StagedSuffix, 0600);
    TChildProcess old({.Argv = {folder + "quorvel", "--hold"}});
    for (int i = 0; i < 500 && ReadLines(folder + "starts.log").empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    // An open descriptor of ours (the instance lock, say) must not reach the upgrader.
    const int inherited = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(inherited, 0);

    const pid_t upgrader = StartUpgrader({folder + "quorvel", old.Pid(), "/afterupgrade0"});
    ::close(inherited);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    int status = 0;
    EXPECT_EQ(::waitpid(upgrader, &status, WNOHANG), 0) << "did not wait for the running program";
    EXPECT_EQ(Describe(folder + "quorvel"), "0755 program old");
    const std::string fds = "/proc/" + std::to_string(upgrader) + "/fd/";
    for (const auto& entry : fs::directory_iterator(fds)) {
        std::error_code ec;
        EXPECT_NE(fs::read_symlink(entry.path(), ec).string() + "/", folder) << "inherited " << entry.path();
    }

    old.Signal(SIGTERM);
    EXPECT_EQ(old.Wait(ChildLimit), 0);
    EXPECT_EQ(WaitForChild(upgrader), 0);
    EXPECT_EQ(FolderState(folder), Expected({Program("quorvel", "new"), Text("data.dat", "new data")}));
    const std::vector<std::string> starts = ReadLines(folder + "starts.log");
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_EQ(starts[1], "new quorvel /afterupgrade0 [own-session stdin=/dev/null]");
    EXPECT_EQ(Entries(tmp), std::vector<std::string> {}) << "the upgrader's folder stayed";
}

} // namespace
