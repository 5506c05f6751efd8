// The built-in archiver run as a real process; its archives are read back by
// readers that share nothing with it (Python's zipfile, 7-Zip).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/archiver/ArchiverRun.h"

namespace fs = std::filesystem;

namespace {

const std::string Zip = QUORVEL_ZIP;
const std::string GbkName = "\xCA\xFD\xBE\xDD\xBF\xE2.bak"; // 数据库.bak in GBK: not UTF-8
const std::string Utf8Name = "\xE6\x95\xB0\xE6\x8D\xAE\xE5\xBA\x93.bak"; // 数据库.bak in UTF-8

// A folder under /tmp removed with everything in it.
class TScratch {
public:
    TScratch() {
        std::string pattern = (fs::temp_directory_path() / "quorvel-archiver-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        Root = pattern;
    }
    ~TScratch() {
        std::error_code ignored;
        Unlock(Root);
        fs::remove_all(Root, ignored);
    }
    TScratch(const TScratch&) = delete;
    TScratch& operator=(const TScratch&) = delete;
    fs::path Root;

private:
    // Folders a test made unreadable are opened again, so everything can go.
    static void Unlock(const fs::path& folder) {
        std::error_code ignored;
        fs::permissions(folder, fs::perms::owner_all, fs::perm_options::add, ignored);
        for (const auto& entry : fs::directory_iterator(folder, ignored))
            if (entry.is_directory(ignored) && !entry.is_symlink(ignored)) Unlock(entry.path());
    }
};

void WriteFile(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Backup-like bytes: 8 KiB pages with a header and repeated rows, a little varied.
std::string Pages(std::size_t count) {
    std::string bytes;
    for (std::size_t page = 0; page < count; ++page) {
        std::string p = "PAGE " + std::to_string(page) + " ";
        while (p.size() < 8192) p += "row " + std::to_string((page * 31 + p.size()) % 977) + " customer;";
        p.resize(8192);
        bytes += p;
    }
    return bytes;
}

// Relative path -> contents ("/" for a folder), the names' exact bytes.
std::map<std::string, std::string> Tree(const fs::path& root) {
    std::map<std::string, std::string> tree;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        std::string name = fs::relative(it->path(), root).string();
        tree[name] = it->is_directory() ? "/" : ReadFile(it->path());
    }
    return tree;
}

std::vector<std::string> Names(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string Hex(const std::string& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : bytes) {
        hex += digits[c >> 4];
        hex += digits[c & 15];
    }
    return hex;
}

// The tree every archive test packs: nested folders, an empty file and folder,
// a file larger than the archiver's read buffers, names in UTF-8 and in GBK.
void MakeSourceTree(const fs::path& source) {
    WriteFile(source / "master.bak", Pages(400)); // 3.2 MiB
    WriteFile(source / "empty.bak", "");
    WriteFile(source / "sub" / "deeper" / "log.trn", "transaction log\n");
    WriteFile(source / "sub" / Utf8Name, "utf-8 name");
    WriteFile(source / GbkName, "gbk name");
    fs::create_directories(source / "emptyfolder");
}

// A large sparse file keeps the archiver busy for a while without using the disk.
void MakeSlowSource(const fs::path& source) {
    std::ofstream big(source / "huge.bak", std::ios::binary);
    big.seekp((6LL << 30) - 1);
    big.put('\0');
}

struct TFixture : ::testing::Test {
    TScratch Scratch;
    fs::path Source = Scratch.Root / "source";
    fs::path Bak = Scratch.Root / "bak";
    void SetUp() override {
        fs::create_directories(Source);
        fs::create_directories(Bak);
    }
    // Runs the archiver with the batch file's operands at a fixed instant.
    // `wrapper` runs it under another program (prlimit, setpriv).
    TRunResult Pack(TRunOptions options = {}, std::vector<std::string> args = {},
                    std::vector<std::string> wrapper = {}) {
        if (args.empty()) args = {"a", "-r", "-ag", Bak.string() + "/", Source.string() + "/"};
        args.insert(args.begin(), Zip);
        args.insert(args.begin(), wrapper.begin(), wrapper.end());
        options.Env.emplace("QUORVEL_TEST_NOW", "2026-12-10 09:08:07");
        options.Env.emplace("TZ", "UTC");
        options.Env.emplace("QUORVEL_ARCHIVE_PASSWORD", std::nullopt);
        options.Env.emplace("QUORVEL_ARCHIVE_PASSWORD_FD", std::nullopt);
        return RunProgram(args, options);
    }
    fs::path Archive() const { return Bak / "20261210090807.zip"; }
};

struct TReadBack {
    std::map<std::string, std::pair<bool, long long>> Entries; // name bytes -> (UTF-8 flag, size)
    std::string Test;
};

TReadBack ReadWithZipfile(const fs::path& archive, const fs::path& dest) {
    TRunResult r = RunProgram({QUORVEL_PYTHON, std::string(QUORVEL_ARCHIVER_TESTS_DIR) + "/read_zip.py",
                               archive.string(), dest.string()});
    EXPECT_EQ(r.ExitCode, 0) << r.Err;
    TReadBack back;
    std::istringstream lines(r.Out);
    std::string kind;
    while (lines >> kind) {
        if (kind == "TEST") {
            std::getline(lines, back.Test);
            back.Test = back.Test.substr(1);
            continue;
        }
        std::string hex;
        int utf8 = 0;
        long long size = 0;
        lines >> hex >> utf8 >> size;
        back.Entries[hex] = {utf8 == 1, size};
    }
    return back;
}

TEST_F(TFixture, PlainArchiveReadsBackWholeWithPythonsZipfile) {
    MakeSourceTree(Source);
    TRunResult r = Pack();
    ASSERT_EQ(r.ExitCode, 0) << r.Err;
    EXPECT_EQ(r.Out, Archive().string() + "\n");
    // Only the finished archive: no temporary file is left beside it.
    EXPECT_EQ(Names(Bak), std::vector<std::string>{"20261210090807.zip"});
    // It holds whole databases: nobody else may read it.
    struct stat st {};
    ASSERT_EQ(::stat(Archive().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    fs::path out = Scratch.Root / "out";
    TReadBack back = ReadWithZipfile(Archive(), out);
    EXPECT_EQ(back.Test, "OK");
    EXPECT_EQ(Tree(out), Tree(Source));
    // The UTF-8 name carries the UTF-8 flag; the GBK one is kept as its bytes without it.
    ASSERT_TRUE(back.Entries.count(Hex("sub/" + Utf8Name)));
    EXPECT_TRUE(back.Entries[Hex("sub/" + Utf8Name)].first);
    ASSERT_TRUE(back.Entries.count(Hex(GbkName)));
    EXPECT_FALSE(back.Entries[Hex(GbkName)].first);
    EXPECT_FALSE(back.Entries[Hex("master.bak")].first);
    EXPECT_EQ(back.Entries[Hex("master.bak")].second, 400 * 8192);
    EXPECT_TRUE(back.Entries.count(Hex("emptyfolder/")));
    // Compressed: backup pages shrink a lot.
    EXPECT_LT(fs::file_size(Archive()), fs::file_size(Source / "master.bak") / 4);
}

TEST_F(TFixture, WithoutRecursionOnlyTheTopFolderIsPacked) {
    MakeSourceTree(Source);
    TRunResult r = Pack({}, {"a", "-ag", Bak.string() + "/", Source.string() + "/"});
    ASSERT_EQ(r.ExitCode, 0) << r.Err;
    TReadBack back = ReadWithZipfile(Archive(), Scratch.Root / "out");
    std::set<std::string> names;
    for (const auto& [hex, info] : back.Entries) names.insert(hex);
    EXPECT_EQ(names, (std::set<std::string>{Hex("empty.bak"), Hex("master.bak"), Hex(GbkName)}));
}

TEST_F(TFixture, FolderOperandWithoutSlashIsPackedUnderItsName) {
    WriteFile(Source / "a.bak", "a");
    TRunResult r = Pack({}, {"a", "-r", "-ag", Bak.string() + "/", Source.string()});
    ASSERT_EQ(r.ExitCode, 0) << r.Err;
    TReadBack back = ReadWithZipfile(Archive(), Scratch.Root / "out");
    EXPECT_TRUE(back.Entries.count(Hex("source/a.bak")));
}

struct TNowCase {
    const char* Name;
    const char* Now;
    const char* Tz;
    const char* Archive; // empty: refused
};

class TArchiveName : public TFixture, public ::testing::WithParamInterface<TNowCase> {};

TEST_P(TArchiveName, IsTheLocalDateAndTimeOfTheInstant) {
    const TNowCase& c = GetParam();
    WriteFile(Source / "a.bak", "a");
    TRunOptions options;
    options.Env["QUORVEL_TEST_NOW"] = c.Now;
    options.Env["TZ"] = c.Tz;
    TRunResult r = Pack(options);
    if (*c.Archive) {
        ASSERT_EQ(r.ExitCode, 0) << r.Err;
        EXPECT_EQ(Names(Bak), std::vector<std::string>{c.Archive});
    } else {
        EXPECT_EQ(r.ExitCode, 7);
        EXPECT_NE(r.Err.find("QUORVEL_TEST_NOW"), std::string::npos) << r.Err;
        EXPECT_TRUE(Names(Bak).empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Instants, TArchiveName,
    ::testing::Values(TNowCase{"DateAndTime", "2026-12-10 09:08:07", "UTC", "20261210090807.zip"},
                      TNowCase{"IsoSeparator", "2026-12-31T23:59:59", "UTC", "20261231235959.zip"},
                      TNowCase{"LocalTimeElsewhere", "2026-01-02 03:04:05", "Asia/Shanghai", "20260102030405.zip"},
                      TNowCase{"EpochSecondsInUtc", "0", "UTC", "19700101000000.zip"},
                      TNowCase{"EpochSecondsInShanghai", "1781000000", "Asia/Shanghai", "20260609181320.zip"},
                      TNowCase{"NotADate", "yesterday", "UTC", ""},
                      TNowCase{"NoSuchDay", "2026-02-30 10:00:00", "UTC", ""},
                      TNowCase{"NoSuchHour", "2026-02-03 24:00:00", "UTC", ""},
                      TNowCase{"TrailingText", "2026-02-03 10:00:00x", "UTC", ""}),
    [](const auto& test) { return std::string(test.param.Name); });

struct TPasswordCase {
    const char* Name;
    bool ThroughFd;
    const char* Password;
};

class TEncryptedArchive : public TFixture, public ::testing::WithParamInterface<TPasswordCase> {};

TEST_P(TEncryptedArchive, OpensInSevenZipOnlyWithThePassword) {
    const TPasswordCase& c = GetParam();
    WriteFile(Source / "master.bak", Pages(200));
    WriteFile(Source / "sub" / Utf8Name, "utf-8 name");
    WriteFile(Source / "empty.bak", "");
    TRunOptions options;
    if (c.ThroughFd) {
        options.Env["QUORVEL_ARCHIVE_PASSWORD_FD"] = "3";
        options.Fd3 = std::string(c.Password) + "\n"; // as `echo` leaves it
    } else {
        options.Env["QUORVEL_ARCHIVE_PASSWORD"] = c.Password;
    }
    TRunResult r = Pack(options);
    ASSERT_EQ(r.ExitCode, 0) << r.Err;

    TRunResult right = RunProgram({"7zz", "t", std::string("-p") + c.Password, Archive().string()});
    EXPECT_EQ(right.ExitCode, 0) << right.Out << right.Err;
    TRunResult wrong = RunProgram({"7zz", "t", "-pnot the password", Archive().string()});
    EXPECT_NE(wrong.ExitCode, 0) << wrong.Out;
    // Without any password 7-Zip gets nothing out either.
    TRunResult none = RunProgram({"7zz", "x", "-p", "-o" + (Scratch.Root / "none").string(), Archive().string()});
    EXPECT_NE(none.ExitCode, 0);

    fs::path out = Scratch.Root / "out";
    TRunResult x = RunProgram({"7zz", "x", std::string("-p") + c.Password, "-o" + out.string(), Archive().string()});
    ASSERT_EQ(x.ExitCode, 0) << x.Out << x.Err;
    EXPECT_EQ(Tree(out), Tree(Source));
    TRunResult listing = RunProgram({"7zz", "l", "-slt", std::string("-p") + c.Password, Archive().string()});
    EXPECT_NE(listing.Out.find("AES-256"), std::string::npos) << listing.Out;
}

INSTANTIATE_TEST_SUITE_P(Channels, TEncryptedArchive,
                         ::testing::Values(TPasswordCase{"Environment", false, "s3cret pass"},
                                           TPasswordCase{"Descriptor", true, "fd-Pass#2"}),
                         [](const auto& test) { return std::string(test.param.Name); });

TEST_F(TFixture, EmptyPasswordMeansAPlainArchive) {
    WriteFile(Source / "a.bak", "plain");
    TRunOptions options;
    options.Env["QUORVEL_ARCHIVE_PASSWORD"] = "";
    ASSERT_EQ(Pack(options).ExitCode, 0);
    TReadBack back = ReadWithZipfile(Archive(), Scratch.Root / "out");
    EXPECT_EQ(back.Test, "OK");
    EXPECT_EQ(ReadFile(Scratch.Root / "out" / "a.bak"), "plain");
}

// Each failure: its exit status, a message naming the cause, nothing under the
// final name and no temporary file left in the archive folder.
struct TFailureCase {
    const char* Name;
    std::function<std::vector<std::string>(TFixture&)> Prepare; // returns the arguments
    int ExitCode;
    const char* Message;
};

class TArchiverFailure : public TFixture, public ::testing::WithParamInterface<TFailureCase> {};

TEST_P(TArchiverFailure, ExitsNonZeroAndLeavesNoArchive) {
    const TFailureCase& c = GetParam();
    std::vector<std::string> args = c.Prepare(*this);
    std::vector<std::string> wrapper;
    if (!args.empty() && args.front() == "@limit") {
        // A file size limit turns the archive's writes into failures, as a full disk does.
        args.erase(args.begin());
        wrapper = {"prlimit", "--fsize=65536", "--"};
    } else if (!args.empty() && args.front() == "@nobody") {
        // Permissions do not stop root; the archiver then runs as nobody.
        args.erase(args.begin());
        if (::geteuid() == 0) {
            fs::permissions(Scratch.Root, fs::perms::all);
            fs::permissions(Bak, fs::perms::all);
            wrapper = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"};
        }
    }
    TRunResult r = Pack({}, args, wrapper);
    EXPECT_EQ(r.ExitCode, c.ExitCode) << r.Err;
    EXPECT_NE(r.Err.find(c.Message), std::string::npos) << r.Err;
    EXPECT_EQ(r.Err.rfind("quorvelzip: ", 0), 0u) << r.Err;
    EXPECT_FALSE(fs::exists(Archive()));
    if (fs::exists(Bak)) {
        for (const std::string& name : Names(Bak)) EXPECT_EQ(name.find(".part"), std::string::npos) << name;
    }
}

std::vector<std::string> Standard(TFixture& f) { return {"a", "-r", "-ag", f.Bak.string() + "/", f.Source.string() + "/"}; }

INSTANTIATE_TEST_SUITE_P(
    Cases, TArchiverFailure,
    ::testing::Values(
        TFailureCase{"MissingSourceFolder",
                     [](TFixture& f) {
                         fs::remove_all(f.Source);
                         return Standard(f);
                     },
                     10, "cannot find"},
        TFailureCase{"SourceIsAFile",
                     [](TFixture& f) {
                         fs::remove_all(f.Source);
                         WriteFile(f.Source, "x");
                         return Standard(f);
                     },
                     10, "is not a folder"},
        TFailureCase{"EmptySourceFolder", [](TFixture& f) { return Standard(f); }, 10, "no files to add"},
        TFailureCase{"MissingArchiveFolder",
                     [](TFixture& f) {
                         WriteFile(f.Source / "a.bak", "a");
                         fs::remove_all(f.Bak);
                         return Standard(f);
                     },
                     9, "cannot create the archive"},
        TFailureCase{"UnreadableFile",
                     [](TFixture& f) {
                         WriteFile(f.Source / "a.bak", "a");
                         WriteFile(f.Source / "b.bak", Pages(300));
                         WriteFile(f.Source / "c.bak", "c");
                         fs::permissions(f.Source / "b.bak", fs::perms::none);
                         std::vector<std::string> args = Standard(f);
                         args.insert(args.begin(), "@nobody");
                         return args;
                     },
                     6, "b.bak: Permission denied"},
        TFailureCase{"UnreadableSubfolder",
                     [](TFixture& f) {
                         WriteFile(f.Source / "sub" / "a.bak", "a");
                         fs::permissions(f.Source / "sub", fs::perms::none);
                         std::vector<std::string> args = Standard(f);
                         args.insert(args.begin(), "@nobody");
                         return args;
                     },
                     6, "Permission denied"},
        TFailureCase{"DiskFull",
                     [](TFixture& f) {
                         // Random-looking bytes stay large when compressed.
                         std::string noise;
                         unsigned x = 12345;
                         for (int i = 0; i < 1 << 20; ++i) noise += static_cast<char>((x = x * 1103515245 + 12345) >> 24);
                         WriteFile(f.Source / "a.bak", noise);
                         std::vector<std::string> args = Standard(f);
                         args.insert(args.begin(), "@limit");
                         return args;
                     },
                     5, "cannot write"},
        TFailureCase{"UnknownCommand", [](TFixture& f) { return std::vector<std::string>{"x", f.Bak.string() + "/", f.Source.string() + "/"}; },
                     7, "unknown command"},
        TFailureCase{"UnknownSwitch",
                     [](TFixture& f) {
                         WriteFile(f.Source / "a.bak", "a");
                         return std::vector<std::string>{"a", "-r", "-ag", "-zz", f.Bak.string() + "/", f.Source.string() + "/"};
                     },
                     7, "unknown switch '-zz'"},
        TFailureCase{"PasswordOnCommandLine",
                     [](TFixture& f) {
                         WriteFile(f.Source / "a.bak", "a");
                         return std::vector<std::string>{"a", "-r", "-ag", "-psecret", f.Bak.string() + "/", f.Source.string() + "/"};
                     },
                     7, "not taken on the command line"},
        TFailureCase{"NoSourceOperand", [](TFixture& f) { return std::vector<std::string>{"a", "-r", "-ag", f.Bak.string() + "/"}; }, 7,
                     "no files to add given"},
        TFailureCase{"FolderWithoutDateSwitch",
                     [](TFixture& f) {
                         WriteFile(f.Source / "a.bak", "a");
                         return std::vector<std::string>{"a", "-r", f.Bak.string() + "/", f.Source.string() + "/"};
                     },
                     7, "is a folder"}),
    [](const auto& test) { return std::string(test.param.Name); });

TEST_F(TFixture, AnArchiveOfTheSameNameIsNeverReplaced) {
    WriteFile(Source / "a.bak", "new");
    WriteFile(Archive(), "an archive not mailed yet");
    TRunResult r = Pack();
    EXPECT_EQ(r.ExitCode, 9);
    EXPECT_NE(r.Err.find("already exists"), std::string::npos) << r.Err;
    EXPECT_EQ(ReadFile(Archive()), "an archive not mailed yet");
    EXPECT_EQ(Names(Bak).size(), 1u);
}

TEST_F(TFixture, APipeInTheSourceIsSkippedWithAWarningInsteadOfBlocking) {
    WriteFile(Source / "a.bak", "a");
    ASSERT_EQ(::mkfifo((Source / "pipe").c_str(), 0600), 0);
    TRunOptions options;
    options.LimitMs = 60000;
    TRunResult r = Pack(options);
    EXPECT_FALSE(r.TimedOut);
    EXPECT_EQ(r.ExitCode, 1) << r.Err;
    EXPECT_NE(r.Err.find("skipped"), std::string::npos) << r.Err;
    TReadBack back = ReadWithZipfile(Archive(), Scratch.Root / "out");
    EXPECT_EQ(back.Entries.size(), 1u);
    EXPECT_TRUE(back.Entries.count(Hex("a.bak")));
}

TEST_F(TFixture, ASymlinkToAFileStoresTheFilesBytes) {
    WriteFile(Scratch.Root / "elsewhere.bak", "linked bytes");
    fs::create_symlink(Scratch.Root / "elsewhere.bak", Source / "link.bak");
    ASSERT_EQ(Pack().ExitCode, 0);
    ReadWithZipfile(Archive(), Scratch.Root / "out");
    EXPECT_EQ(ReadFile(Scratch.Root / "out" / "link.bak"), "linked bytes");
}

TEST_F(TFixture, AnArchiveFolderInsideTheSourceDoesNotPackTheArchiveIntoItself) {
    WriteFile(Source / "a.bak", Pages(200));
    fs::path inner = Source / "bak";
    fs::create_directories(inner);
    TRunResult r = Pack({}, {"a", "-r", "-ag", inner.string() + "/", Source.string() + "/"});
    ASSERT_EQ(r.ExitCode, 0) << r.Err;
    TReadBack back = ReadWithZipfile(inner / "20261210090807.zip", Scratch.Root / "out");
    EXPECT_EQ(back.Test, "OK");
    std::set<std::string> names;
    for (const auto& [hex, info] : back.Entries) names.insert(hex);
    EXPECT_EQ(names, (std::set<std::string>{Hex("a.bak"), Hex("bak/")}));
}

TEST_F(TFixture, TerminatedMidwayLeavesNothingBehind) {
    MakeSlowSource(Source);
    TRunOptions options;
    bool sent = false;
    options.WhileRunning = [&](pid_t pid) {
        for (const std::string& name : Names(Bak))
            if (name.find(".part") != std::string::npos) {
                ::kill(pid, SIGTERM);
                sent = true;
                return false;
            }
        return true;
    };
    TRunResult r = Pack(options);
    ASSERT_TRUE(sent) << "the archiver ended before it could be stopped: " << r.Err;
    EXPECT_EQ(r.ExitCode, 255) << r.Err;
    EXPECT_TRUE(Names(Bak).empty());
}

TEST_F(TFixture, ThePasswordIsNeitherInTheCommandLineNorInTheEnvironmentWhileItRuns) {
    MakeSlowSource(Source);
    const std::string password = "never-visible-7f3a";
    TRunOptions options;
    options.Env["QUORVEL_ARCHIVE_PASSWORD"] = password;
    bool looked = false;
    std::string environment, commandLine;
    options.WhileRunning = [&](pid_t pid) {
        // Once the temporary archive exists the password has been taken.
        for (const std::string& name : Names(Bak))
            if (name.find(".part") != std::string::npos) {
                environment = ReadFile("/proc/" + std::to_string(pid) + "/environ");
                commandLine = ReadFile("/proc/" + std::to_string(pid) + "/cmdline");
                looked = true;
                ::kill(pid, SIGTERM);
                return false;
            }
        return true;
    };
    TRunResult r = Pack(options);
    ASSERT_TRUE(looked) << r.Err;
    EXPECT_NE(environment.find("QUORVEL_TEST_NOW="), std::string::npos); // the environment was readable
    EXPECT_EQ(environment.find(password), std::string::npos);
    EXPECT_EQ(commandLine.find(password), std::string::npos);
    EXPECT_EQ(r.ExitCode, 255) << r.Err;
}

} // namespace
