#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "platform/Files.h"
#include "platform/IniFile.h"
#include "settings/StringCipher.h"
#include "tests/support/ShellRun.h"

namespace {

struct TResult {
    int status;
    std::string out;
};

// Runs quorvelctl with `args` (already shell-quoted), standard error folded into the output.
TResult Ctl(const std::string& args) {
    const TShellRun run = RunShell(std::string(QUORVEL_BINARY_DIR) + "/app/quorvelctl/quorvelctl " + args + " 2>&1");
    return {run.Status, run.Out};
}

class CtlConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() / ("quorvel-ctl-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir_);
        path_ = (dir_ / "config.ini").string();
        std::filesystem::remove(path_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    // `text` in a file of its own, as a password is handed over: "--file PATH".
    std::string SecretFile(const std::string& text) const {
        const std::string path = (dir_ / "secret.txt").string();
        std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
        return "--file " + path;
    }
    std::filesystem::path dir_;
    std::string path_;
};

TEST_F(CtlConfigTest, SetAndGetGoThroughCodePage936) {
    EXPECT_EQ(Ctl("config set " + path_ + " Option SmtpName '客服中心 <a@example.com>'").status, 0);
    // The file holds code page 936 bytes, the command line shows UTF-8.
    EXPECT_EQ(GetPrivateProfileString("Option", "SmtpName", "", path_), "\xBF\xCD\xB7\xFE\xD6\xD0\xD0\xC4 <a@example.com>");
    EXPECT_EQ(Ctl("config get " + path_ + " option SMTPNAME").out, "客服中心 <a@example.com>\n");
    EXPECT_EQ(Ctl("config get " + path_ + " Option SmtpPort 25").out, "25\n");
}

TEST_F(CtlConfigTest, PasswordIsStoredEnciphered) {
    ASSERT_EQ(Ctl("config set-password " + path_ + " " + SecretFile("s3cr;t=密\n")).status, 0);
    AnsiString stored = GetPrivateProfileString("Option", "SmtpPass", "", path_);
    EXPECT_EQ(stored.size(), 2u + 2u * 9u);
    EXPECT_EQ(CipherText(stored, SmtpPasswordKey, false), "s3cr;t=\xC3\xDC");
    EXPECT_EQ(Ctl("config get-password " + path_).out, "s3cr;t=密\n");
}

// Both passwords in cipher form under the program's key, read from a file or
// from standard input ("-"): never from the command line, where the process
// list shows them to every user.
TEST_F(CtlConfigTest, PasswordsFromAFileOrStandardInput) {
    struct Case {
        const char* name;
        std::string verb, file, input, key, plain;
    };
    const Case cases[] = {
        {"archive password from a file", "set-archive-password", "zip pw;密\nsecond line", "", "ArchivePass",
         "zip pw;\xC3\xDC"},
        {"archive password on standard input", "set-archive-password", "", "from stdin\n", "ArchivePass", "from stdin"},
        {"login password on standard input", "set-password", "", "login pw\r\n", "SmtpPass", "login pw"},
        {"login password from a file", "set-password", "login;pw\r\n", "", "SmtpPass", "login;pw"},
        {"an empty archive password turns encryption off", "set-archive-password", "", "\n", "ArchivePass", ""},
    };
    const std::string input = (dir_ / "input.txt").string();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::ofstream(input, std::ios::binary | std::ios::trunc) << c.input;
        const std::string source = c.file.empty() ? "-" : SecretFile(c.file);
        const TResult r = Ctl("config " + c.verb + " " + path_ + " " + source + " <" + input);
        ASSERT_EQ(r.status, 0) << r.out;
        const AnsiString stored = GetPrivateProfileString("Option", c.key, "missing", path_);
        EXPECT_EQ(CipherText(stored, SmtpPasswordKey, false), c.plain);
        if (!c.plain.empty()) {
            EXPECT_EQ(stored.find(c.plain), std::string::npos) << "stored in plain text";
        }
    }
    std::string before;
    ASSERT_TRUE(ReadWholeFile(path_, before));
    for (const std::string verb : {"set-password", "set-archive-password"}) {
        SCOPED_TRACE(verb);
        const TResult given = Ctl("config " + verb + " " + path_ + " 's3cret'");
        EXPECT_EQ(given.status, 2);
        EXPECT_NE(given.out.find("a password on the command line is refused"), std::string::npos) << given.out;
        EXPECT_EQ(Ctl("config " + verb + " " + path_).status, 2);
        EXPECT_EQ(Ctl("config " + verb + " " + path_ + " --file").status, 2);
        const TResult missing = Ctl("config " + verb + " " + path_ + " --file " + (dir_ / "none.txt").string());
        EXPECT_EQ(missing.status, 1);
        EXPECT_NE(missing.out.find("Cannot open file"), std::string::npos) << missing.out;
    }
    std::string after;
    ASSERT_TRUE(ReadWholeFile(path_, after));
    EXPECT_EQ(after, before);
}

TEST_F(CtlConfigTest, ErrorsAreClearAndExitNonZero) {
    struct Case {
        std::string args;
        int status;
        std::string text;
    } cases[] = {
        {"config set " + (dir_ / "none" / "c.ini").string() + " Option A b", 1, "Unable to write to "},
        {"config get " + path_ + " Option", 2, "wrong number of arguments"},
        {"config frobnicate", 2, "unknown sub-command"},
        {"nosuchcommand", 2, "unknown command"},
        {"config set " + path_ + " Option A \"$(printf '\\377')\"", 1, "invalid byte 0xFF"},
    };
    for (const auto& c : cases) {
        TResult r = Ctl(c.args);
        EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.out;
        EXPECT_NE(r.out.find(c.text), std::string::npos) << c.args << "\n" << r.out;
    }
    std::filesystem::create_directories(dir_);
    ASSERT_TRUE(WritePrivateProfileString("Option", "SmtpPass", "XYZ", path_));
    TResult bad = Ctl("config get-password " + path_);
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.out.find("is not a valid integer value"), std::string::npos) << bad.out;
}

TEST_F(CtlConfigTest, ACipherTextThatIsNoWholePairsIsAClearError) {
    struct Case {
        const char* pass;
        const char* text;
    } cases[] = {
        {"A", "'A' is not a valid cipher text"},     // used to surface a substr range error
        {"ABC", "'ABC' is not a valid cipher text"}, // used to decipher to garbage
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pass);
        ASSERT_TRUE(WritePrivateProfileString("Option", "SmtpPass", c.pass, path_));
        TResult r = Ctl("config get-password " + path_);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.out.find(c.text), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("basic_string"), std::string::npos) << r.out;
    }
}

TEST_F(CtlConfigTest, EntriesThatWouldNotReadBackAreRefusedAndTheFileKept) {
    ASSERT_EQ(Ctl("config set " + path_ + " Option SmtpServer mail.example.com").status, 0);
    std::string before;
    ASSERT_TRUE(ReadWholeFile(path_, before));
    struct Case {
        std::string args;
        const char* text;
    } cases[] = {
        {"Option SmtpServer \"$(printf 'x\\n[Database]\\nOdbcOptions=y')\"", "a value must not hold a line break"},
        {"Option SmtpServer \"$(printf 'x\\ry')\"", "a value must not hold a line break"},
        {"\"$(printf 'Opt\\nion')\" SmtpServer x", "a section name must not hold a line break"},
        {"\"Opt]ion\" SmtpServer x", "a section name must not hold \"]\""},
        {"Option \"Smtp=Server\" x", "a key must not hold \"=\""},
        {"Option \";SmtpServer\" x", "a key must not start with"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        TResult r = Ctl("config set " + path_ + " " + c.args);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.out.find("Unable to write to " + path_ + ": " + c.text), std::string::npos) << r.out;
        std::string after;
        ASSERT_TRUE(ReadWholeFile(path_, after));
        EXPECT_EQ(after, before);
    }
}

TEST_F(CtlConfigTest, TheSettingsFileIsPrivate) {
    struct stat st {};
    // New: owner only, whatever the umask would allow.
    TResult created = Ctl("config set-password " + path_ + " " + SecretFile("s3cret"));
    ASSERT_EQ(created.status, 0) << created.out;
    ASSERT_EQ(::stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // An existing file others could read is tightened first, with one note.
    ASSERT_EQ(::chmod(path_.c_str(), 0644), 0);
    TResult tightened = Ctl("config set-password " + path_ + " " + SecretFile("other"));
    EXPECT_EQ(tightened.status, 0) << tightened.out;
    ASSERT_EQ(::stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_NE(tightened.out.find(path_ + " could be read by other users; its mode is now 0600"), std::string::npos)
        << tightened.out;
    TResult quiet = Ctl("config set " + path_ + " Option SmtpUser u");
    EXPECT_EQ(quiet.out.find("could be read"), std::string::npos) << quiet.out;
    // A file kept from others stays as its owner set it.
    ASSERT_EQ(::chmod(path_.c_str(), 0400), 0);
    EXPECT_EQ(Ctl("config set " + path_ + " Option SmtpUser v").status, 1);
    ASSERT_EQ(::stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0400u);
}

TEST(CtlHelp, ListsTheCommands) {
    TResult r = Ctl("--help");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("quorvelctl config get FILE SECTION KEY [DEFAULT]"), std::string::npos) << r.out;
}

} // namespace
