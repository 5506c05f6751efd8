// The upgrader as a real process: a program folder with stand-in programs and
// staged files, the upgrader's command line as the program writes it (or as
// an older caller split it), and the folder and the started programs checked
// afterwards.
#include <gtest/gtest.h>

#include <elf.h>

#include "tests/upgrade/UpgraderFixture.h"
#include "upgrade/upgrader/UpgraderNames.h"

using namespace upgrader_test;

namespace {

struct TUpgraderCase {
    const char* Name;
    std::string Folder;      // the program's folder inside the scratch folder
    std::string ProgramName; // the program path's file name
    std::vector<TFileSpec> Before;
    std::vector<TFileSpec> Staged; // named without ".uTMP", written 0600 as downloads are
    char Method = '0';             // '1': setup mode
    bool SplitPath = false;        // the path arrives in pieces, split at its blanks
    int ExitCode = 0;
    std::vector<TFileSpec> After;     // the whole folder afterwards
    std::vector<std::string> Starts;  // programs started, in order
    std::string LogHas;               // in the upgrader's system log line
};

std::ostream& operator<<(std::ostream& out, const TUpgraderCase& c) { return out << c.Name; }

std::vector<std::string> SplitPieces(const std::string& path) {
    std::vector<std::string> pieces;
    std::size_t start = 0;
    for (std::size_t blank; (blank = path.find(' ', start)) != std::string::npos; start = blank + 1)
        pieces.push_back(path.substr(start, blank - start));
    pieces.push_back(path.substr(start));
    return pieces;
}

const std::vector<TUpgraderCase> Cases = {
    {"ExactMatch", "app", "quorvel",
     {Program("quorvel", "old")},
     {Program("quorvel", "new")},
     '0', false, 0,
     {Program("quorvel", "new")},
     {"new quorvel /afterupgrade0"}, "upgraded"},
    // A program the user renamed: the staged program replaces it under the
    // user's name; a text file before it in name order is no program.
    {"RenamedProgram", "app", "mytool",
     {Program("mytool", "old")},
     {Text("a-readme.txt", "read me"), Program("quorvel", "new")},
     '0', false, 0,
     {Program("mytool", "new"), Text("a-readme.txt", "read me")},
     {"new mytool /afterupgrade0"}, "upgraded"},
    // Replaced files keep their modes; a new data file is 0644.
    {"ProgramAndDataFiles", "app", "quorvel",
     {Program("quorvel", "old", "ok", 0750), Text("data.dat", "old data", 0640)},
     {Text("data.dat", "new data"), Text("extra.txt", "fresh"), Program("quorvel", "new")},
     '0', false, 0,
     {Program("quorvel", "new", "ok", 0750), Text("data.dat", "new data", 0640), Text("extra.txt", "fresh")},
     {"new quorvel /afterupgrade0"}, "upgraded"},
    // The setup program runs first with the restart parameters, goes, and
    // then the program starts.
    {"SetupModeWithScript", "app", "quorvel",
     {Program("quorvel", "old")},
     {SetupScript("setup.sh")},
     '1', false, 0,
     {Program("quorvel", "old")},
     {"setup setup.sh /afterupgrade1", "old quorvel /afterupgrade1"}, "setup"},
    // A script is no program outside setup mode: nothing takes the
    // program's role, the program starts as it was.
    {"ScriptOutsideSetupMode", "app", "mytool",
     {Program("mytool", "old")},
     {SetupScript("setup.sh")},
     '0', false, 0,
     {Program("mytool", "old"), {"setup.sh", SetupScript("setup.sh").Content, 0644}},
     {"old mytool /afterupgrade0"}, "upgraded"},
    // An HTML page sent for the program: nothing moves, the old program runs.
    {"StagedProgramNotElf", "app", "quorvel",
     {Program("quorvel", "old"), Text("data.dat", "old data")},
     {Text("data.dat", "new data"), Text("quorvel", "<html>Moved</html>")},
     '0', false, 1,
     {Program("quorvel", "old"), Text("data.dat", "old data")},
     {"old quorvel /afterupgrade0"}, "is no program for this machine"},
    // The third target is a folder: the two files already replaced go back.
    {"TargetCannotBeReplacedMidWay", "app", "quorvel",
     {Program("quorvel", "old"), Text("a.dat", "old a", 0600), Folder("zz")},
     {Text("a.dat", "new a"), Program("quorvel", "new"), Text("zz", "not a folder")},
     '0', false, 1,
     {Program("quorvel", "old"), Text("a.dat", "old a", 0600), Folder("zz")},
     {"old quorvel /afterupgrade0"}, "not a file"},
    {"NewProgramDiesAtOnce", "app", "quorvel",
     {Program("quorvel", "old"), Text("data.dat", "old data")},
     {Text("data.dat", "new data"), Program("quorvel", "new", "fail")},
     '0', false, 1,
     {Program("quorvel", "old"), Text("data.dat", "old data")},
     {"new quorvel /afterupgrade0", "old quorvel /afterupgrade0"}, "ended at once (exit code 3)"},
    // One argument keeps blanks and a piece that begins with "+".
    {"PathWithBlanksAndPlus", "two words +1", "q +prog",
     {Program("q +prog", "old")},
     {Program("q +prog", "new")},
     '0', false, 0,
     {Program("q +prog", "new")},
     {"new q +prog /afterupgrade0"}, "upgraded"},
    // A path passed unquoted arrives in pieces; joined with blanks it reads.
    {"PathSplitAtBlanks", "my  app", "the prog",
     {Program("the prog", "old")},
     {Program("the prog", "new")},
     '0', true, 0,
     {Program("the prog", "new")},
     {"new the prog /afterupgrade0"}, "upgraded"},
};

class UpgraderProgramTest : public ::testing::TestWithParam<TUpgraderCase> {};

TEST_P(UpgraderProgramTest, PutsFilesInPlaceAndStarts) {
    const TUpgraderCase& c = GetParam();
    TScratchFolder scratch;
    const std::string folder = scratch.Path() + c.Folder + "/";
    fs::create_directories(folder);
    for (const TFileSpec& file : c.Before)
        Create(folder, file);
    for (const TFileSpec& file : c.Staged)
        Create(folder, file, StagedSuffix, 0600);

    const std::string programPath = folder + c.ProgramName;
    std::vector<std::string> args = c.SplitPath ? SplitPieces(programPath) : std::vector<std::string> {programPath};
    args.insert(args.begin(), QUORVEL_UPGRADER_PROGRAM);
    args.push_back(std::string("+/afterupgrade") + c.Method);
    const std::string log = scratch.Path() + "system.log";
    TChildProcess upgrader({.Argv = args, .Env = {{"QUORVEL_SYSTEM_LOG", log}}});

    EXPECT_EQ(upgrader.Wait(ChildLimit), c.ExitCode);
    EXPECT_EQ(FolderState(folder), Expected(c.After));
    EXPECT_EQ(ReadLines(folder + "starts.log"), c.Starts);
    const std::vector<std::string> logged = ReadLines(log);
    ASSERT_FALSE(logged.empty());
    EXPECT_NE(logged.front().find(c.LogHas), std::string::npos) << logged.front();
    EXPECT_EQ(logged.front().rfind(std::string(UpgraderFileName) + "\t", 0), 0u) << logged.front();
}

INSTANTIATE_TEST_SUITE_P(Cases, UpgraderProgramTest, ::testing::ValuesIn(Cases),
                         [](const auto& test) { return std::string(test.param.Name); });

// ---------------------------------------------------------------- waiting for the old program

struct TWaitCase {
    const char* Name;
    bool ByPid;         // --wait-pid, else while the program file is busy
    const char* Limit;  // QUORVEL_UPGRADER_WAIT_MS, "" for the default
    bool Moves;         // the old program ends in time, or the upgrader gives up
};

std::ostream& operator<<(std::ostream& out, const TWaitCase& c) { return out << c.Name; }

class UpgraderWaitTest : public ::testing::TestWithParam<TWaitCase> {};

TEST_P(UpgraderWaitTest, WaitsForTheOldProgram) {
    const TWaitCase& c = GetParam();
    TScratchFolder scratch;
    const std::string folder = scratch.Path() + "app/";
    fs::create_directories(folder);
    Create(folder, Program("quorvel", "old"));
    Create(folder, Program("quorvel", "new"), StagedSuffix, 0600);
    Create(folder, Text("data.dat", "new data"), StagedSuffix, 0600);
    TChildProcess old({.Argv = {folder + "quorvel", "--hold"}});

    TChildOptions run {.Argv = {QUORVEL_UPGRADER_PROGRAM, folder + "quorvel", "+/afterupgrade0"},
                       .Env = {{"QUORVEL_SYSTEM_LOG", scratch.Path() + "system.log"}}};
    if (c.ByPid)
        run.Argv.insert(run.Argv.begin() + 1, std::string(WaitPidOption) + std::to_string(old.Pid()));
    if (*c.Limit)
        run.Env[WaitLimitVariable] = c.Limit;
    // The old program must be running (its start recorded) before the upgrader looks.
    for (int i = 0; i < 500 && ReadLines(folder + "starts.log").empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    TChildProcess upgrader(run);

    if (c.Moves) {
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
        EXPECT_TRUE(upgrader.Running()) << "did not wait";
        EXPECT_EQ(FolderState(folder), Expected({Program("quorvel", "old"), {"quorvel.uTMP", StandInBytes("new"), 0600},
                                                 Text("data.dat.uTMP", "new data", 0600)}));
        old.Signal(SIGTERM);
        EXPECT_EQ(old.Wait(ChildLimit), 0);
        EXPECT_EQ(upgrader.Wait(ChildLimit), 0);
        EXPECT_EQ(FolderState(folder), Expected({Program("quorvel", "new"), Text("data.dat", "new data")}));
        EXPECT_EQ(ReadLines(folder + "starts.log"),
                  (std::vector<std::string> {"old quorvel --hold", "new quorvel /afterupgrade0"}));
    } else {
        EXPECT_EQ(upgrader.Wait(ChildLimit), 1);
        EXPECT_TRUE(old.Running()) << "the old program must be left running";
        EXPECT_EQ(FolderState(folder), Expected({Program("quorvel", "old")}));
        EXPECT_EQ(ReadLines(folder + "starts.log"), (std::vector<std::string> {"old quorvel --hold"}));
        const std::vector<std::string> logged = ReadLines(scratch.Path() + "system.log");
        ASSERT_EQ(logged.size(), 1u);
        EXPECT_NE(logged[0].find("gave up waiting"), std::string::npos) << logged[0];
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, UpgraderWaitTest,
                         ::testing::Values(TWaitCase {"WhileThePidLives", true, "", true},
                                           TWaitCase {"WhileTheFileIsBusy", false, "", true},
                                           TWaitCase {"GivesUpOnThePid", true, "300", false},
                                           TWaitCase {"GivesUpOnTheBusyFile", false, "300", false}),
                         [](const auto& test) { return std::string(test.param.Name); });

// ---------------------------------------------------------------- command line faults and the about text

TEST(UpgraderCommandTest, WithoutArgumentsPrintsTheAboutTextOnly) {
    TChildProcess upgrader({.Argv = {QUORVEL_UPGRADER_PROGRAM}});
    EXPECT_EQ(upgrader.Wait(ChildLimit), 0);
    const std::string& text = upgrader.Out;
    EXPECT_EQ(text.rfind("Upgrader v3.4\n", 0), 0u) << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3) << "caption and two lines: " << text;
    // Run from outside a folder of its own, it leaves its file alone.
    EXPECT_TRUE(FileExists(QUORVEL_UPGRADER_PROGRAM));
}

TEST(UpgraderCommandTest, RefusesBadCommandLinesWithoutTouchingAnything) {
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>> {
             {"--wait-pid=abc", "PROGRAM", "+/afterupgrade0"},
             {"--wait-pid=-5", "PROGRAM", "+/afterupgrade0"},
             {"--wait-pid=", "PROGRAM", "+/afterupgrade0"},
             {"+/afterupgrade0"},
         }) {
        TScratchFolder scratch;
        Create(scratch.Path(), Program("quorvel", "old"));
        Create(scratch.Path(), Program("quorvel", "new"), StagedSuffix, 0600);
        std::vector<std::string> given {QUORVEL_UPGRADER_PROGRAM};
        for (const std::string& arg : args)
            given.push_back(arg == "PROGRAM" ? scratch.Path() + "quorvel" : arg);
        TChildProcess upgrader({.Argv = given, .Env = {{"QUORVEL_SYSTEM_LOG", scratch.Path() + "system.log"}}});
        EXPECT_EQ(upgrader.Wait(ChildLimit), 1) << args[0];
        EXPECT_EQ(FolderState(scratch.Path()),
                  Expected({Program("quorvel", "old"), {"quorvel.uTMP", StandInBytes("new"), 0600},
                            Text("system.log", ReadLines(scratch.Path() + "system.log").at(0) + "\n", 0600)}))
            << args[0];
    }
}

} // namespace
