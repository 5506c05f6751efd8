// The database connection through unixODBC and FreeTDS against the TDS test server.
#include "platform/AdoConnection.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "tests/peers/TdsTestServer.h"
#include "tests/support/ClosedPort.h"

namespace {

using namespace std::chrono;

// ---------------------------------------------------------------------------
// Data Source forms

struct TDataSourceCase {
    const char* Name;
    AnsiString Input;
    TSqlServerAddress Expected;
};

class DataSourceTranslation : public testing::TestWithParam<TDataSourceCase> {};

TEST_P(DataSourceTranslation, GivesHostPortAndInstance)
{
    EXPECT_EQ(TranslateDataSource(GetParam().Input), GetParam().Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, DataSourceTranslation,
    testing::Values(TDataSourceCase{"Host", "dbserver", {"dbserver", 0, ""}},
                    TDataSourceCase{"HostInstance", "dbserver\\SQLEXPRESS", {"dbserver", 0, "SQLEXPRESS"}},
                    TDataSourceCase{"HostPort", "10.0.0.5,1500", {"10.0.0.5", 1500, ""}},
                    TDataSourceCase{"BlanksAround", "  dbserver , 1500  ", {"dbserver", 1500, ""}},
                    TDataSourceCase{"TcpPrefix", "tcp:dbserver,1433", {"dbserver", 1433, ""}},
                    TDataSourceCase{"Local", "(local)", {"127.0.0.1", 0, ""}},
                    TDataSourceCase{"LocalUpperCase", "(LOCAL)", {"127.0.0.1", 0, ""}},
                    TDataSourceCase{"Dot", ".", {"127.0.0.1", 0, ""}},
                    TDataSourceCase{"Localhost", "LocalHost", {"127.0.0.1", 0, ""}},
                    TDataSourceCase{"EmptyMeansLocal", "", {"127.0.0.1", 0, ""}},
                    TDataSourceCase{"DotInstance", ".\\SQLEXPRESS", {"127.0.0.1", 0, "SQLEXPRESS"}},
                    TDataSourceCase{"LocalInstance", "(local)\\SQL2000", {"127.0.0.1", 0, "SQL2000"}},
                    TDataSourceCase{"LocalhostPort", "localhost,2433", {"127.0.0.1", 2433, ""}},
                    TDataSourceCase{"InstanceAndPort", "dbserver\\SQLEXPRESS,1500", {"dbserver", 1500, "SQLEXPRESS"}},
                    TDataSourceCase{"BracketedIpv6", "[::1],1433", {"::1", 1433, ""}},
                    // 0xD5 0x5C is one double-byte character whose trail byte looks like "\".
                    TDataSourceCase{"TrailByteIsNoBackslash", "db\xD5\x5C,1500", {"db\xD5\x5C", 1500, ""}}),
    [](const auto& test) { return std::string(test.param.Name); });

TEST(DataSourceTranslationErrors, NameTheProblem)
{
    struct TCase {
        AnsiString Input;
        const char* Says;
    };
    for (const TCase& c : {TCase{"dbserver,", "port"}, TCase{"dbserver,abc", "port"},
                           TCase{"dbserver,70000", "port"}, TCase{"dbserver,0", "port"},
                           TCase{"dbserver,14 33", "port"}, TCase{"np:\\\\dbserver\\pipe\\sql\\query", "TCP"},
                           TCase{"lpc:dbserver", "TCP"}}) {
        try {
            TranslateDataSource(c.Input);
            ADD_FAILURE() << "accepted " << c.Input;
        } catch (const EOleException& e) {
            EXPECT_NE(e.Message.find(c.Says), AnsiString::npos) << e.Message;
            EXPECT_NE(e.Message.find(c.Input), AnsiString::npos) << e.Message;
        }
    }
}

// ---------------------------------------------------------------------------
// Connection text

TEST(ConnectionText, UsualValuesGiveTheTextByteForByte)
{
    EXPECT_EQ(BuildConnectionText("secret", "sa", "pubs", "DBSRV\\SQL2000"),
              "Provider=SQLOLEDB.1;Password=secret;Persist Security Info=True;User ID=sa;Initial Catalog=pubs;"
              "Data Source=DBSRV\\SQL2000");
    AnsiString chinese = Utf8ToAnsi("数据库");
    EXPECT_EQ(BuildConnectionText("", "sa", chinese, "(local)"),
              "Provider=SQLOLEDB.1;Password=;Persist Security Info=True;User ID=sa;Initial Catalog=" + chinese +
                  ";Data Source=(local)");
}

TEST(ConnectionText, EveryValueReadsBackExactly)
{
    const AnsiString values[] = {"plain",   "p;w=d",      "a=b",        "\"quoted\"", "'single'",  "both\"'",
                                 " blank ", "x;\"y';z",  "}}",         "{brace}",    "",          "tab\tin",
                                 Utf8ToAnsi("密码;中文"), Utf8ToAnsi("誠")};
    for (const AnsiString& v : values) {
        TConnectionValues read = ParseConnectionText(BuildConnectionText(v, v, v, v));
        EXPECT_EQ(read.Password, v);
        EXPECT_EQ(read.UserId, v);
        EXPECT_EQ(read.InitialCatalog, v);
        EXPECT_EQ(read.DataSource, v);
    }
}

struct TParseCase {
    const char* Name;
    AnsiString Text;
    TConnectionValues Expected;
};

class ConnectionTextParsing : public testing::TestWithParam<TParseCase> {};

TEST_P(ConnectionTextParsing, ReadsTheValues) { EXPECT_EQ(ParseConnectionText(GetParam().Text), GetParam().Expected); }

INSTANTIATE_TEST_SUITE_P(
    Texts, ConnectionTextParsing,
    testing::Values(
        TParseCase{"Usual",
                   "Provider=SQLOLEDB.1;Password=pw;Persist Security Info=True;User ID=sa;Initial Catalog=pubs;"
                   "Data Source=srv",
                   {"pw", "sa", "pubs", "srv", -1}},
        TParseCase{"KeysIgnoreCaseAndBlanks", " password = pw ; user  id=sa;INITIAL CATALOG=pubs;data source=srv;",
                   {"pw", "sa", "pubs", "srv", -1}},
        TParseCase{"ShortKeys", "PWD=pw;UID=sa;Database=pubs;Server=srv", {"pw", "sa", "pubs", "srv", -1}},
        TParseCase{"EqualsInUnquotedValue", "Password=a=b;User ID=sa", {"a=b", "sa", "", "", -1}},
        TParseCase{"DoubleQuotes", "Password=\"a;\"\"b\";User ID=sa", {"a;\"b", "sa", "", "", -1}},
        TParseCase{"SingleQuotes", "Password='a;''b' ;User ID=sa", {"a;'b", "sa", "", "", -1}},
        TParseCase{"LastOneWins", "User ID=first;User ID=second", {"", "second", "", "", -1}},
        TParseCase{"ConnectTimeout", "Data Source=srv;Connect Timeout=30", {"", "", "", "srv", 30}},
        TParseCase{"DoubledEqualsInKey", "We==ird=x;Password=pw", {"pw", "", "", "", -1}},
        TParseCase{"EmptyPairs", ";;Password=pw;;", {"pw", "", "", "", -1}},
        TParseCase{"Empty", "", {"", "", "", "", -1}}),
    [](const auto& test) { return std::string(test.param.Name); });

TEST(ConnectionTextParsingErrors, RefusesMalformedTexts)
{
    for (const AnsiString text : {"Password=\"unterminated", "lonely;Password=pw", "Password=\"a\"b;User ID=sa",
                                  "=value", "Integrated Security=SSPI", "Connect Timeout=soon"}) {
        EXPECT_THROW(ParseConnectionText(text), EOleException) << text;
    }
    try {
        ParseConnectionText("lonely;Password=pw");
    } catch (const EOleException& e) {
        EXPECT_EQ(e.Message, "The connection text is malformed: it must be key=value pairs separated by \";\".");
    }
}

// ---------------------------------------------------------------------------
// ODBC connection strings

struct TOdbcCase {
    const char* Name;
    TConnectionValues Values;
    AnsiString Driver;
    std::u16string Expected;
};

class OdbcStrings : public testing::TestWithParam<TOdbcCase> {};

TEST_P(OdbcStrings, AreBuiltForTheDriver)
{
    EXPECT_TRUE(OdbcConnectionString(GetParam().Values, GetParam().Driver) == GetParam().Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Drivers, OdbcStrings,
    testing::Values(
        TOdbcCase{"FreeTdsPort",
                  {"p;w=d", "sa", "pubs", "srv,1500", -1},
                  "FreeTDS",
                  u"DRIVER={FreeTDS};TDS_Version=7.4;SERVER={srv};PORT=1500;UID={sa};PWD={p;w=d};DATABASE={pubs};"},
        TOdbcCase{"FreeTdsDefaultPort",
                  {"pw", "sa", "", "(local)", -1},
                  "FreeTDS",
                  u"DRIVER={FreeTDS};TDS_Version=7.4;SERVER={127.0.0.1};PORT=1433;UID={sa};PWD={pw};"},
        TOdbcCase{"FreeTdsInstance",
                  {"pw", "sa", "", "srv\\SQLEXPRESS", -1},
                  "FreeTDS",
                  u"DRIVER={FreeTDS};TDS_Version=7.4;SERVER={srv\\SQLEXPRESS};UID={sa};PWD={pw};"},
        TOdbcCase{"FreeTdsBraceWithoutSemicolonGoesUnbraced",
                  {"pw}x", "sa", "", "srv", -1},
                  "/usr/lib/x86_64-linux-gnu/odbc/libtdsodbc.so",
                  u"DRIVER={/usr/lib/x86_64-linux-gnu/odbc/libtdsodbc.so};TDS_Version=7.4;SERVER={srv};PORT=1433;UID={sa};PWD=pw}x;"},
        TOdbcCase{"MicrosoftDriverDoublesBraces",
                  {"a}};b", "sa", "pubs", "srv,1500", -1},
                  "ODBC Driver 18 for SQL Server",
                  u"DRIVER={ODBC Driver 18 for SQL Server};SERVER={tcp:srv,1500};UID={sa};PWD={a}}}};b};"
                  u"DATABASE={pubs};"},
        TOdbcCase{"MicrosoftDriverInstance",
                  {"pw", "sa", "", ".\\SQLEXPRESS", -1},
                  "ODBC Driver 18 for SQL Server",
                  u"DRIVER={ODBC Driver 18 for SQL Server};SERVER={127.0.0.1\\SQLEXPRESS};UID={sa};PWD={pw};"},
        TOdbcCase{"ChineseValue",
                  {Utf8ToAnsi("密码"), "sa", "", "srv", -1},
                  "FreeTDS",
                  u"DRIVER={FreeTDS};TDS_Version=7.4;SERVER={srv};PORT=1433;UID={sa};PWD={密码};"}),
    [](const auto& test) { return std::string(test.param.Name); });

TEST(OdbcStringErrors, FreeTdsCannotCarryABraceWithASemicolon)
{
    for (const AnsiString password : {"a}};b", "x};", "{pw}", " pw}"}) {
        try {
            OdbcConnectionString({password, "sa", "", "srv", -1}, "FreeTDS");
            ADD_FAILURE() << "accepted " << password;
        } catch (const EOleException& e) {
            EXPECT_NE(e.Message.find("password"), AnsiString::npos) << e.Message;
            EXPECT_NE(e.Message.find("FreeTDS"), AnsiString::npos) << e.Message;
            EXPECT_NE(e.Message.find("OdbcDriver"), AnsiString::npos) << e.Message;
        }
    }
    EXPECT_THROW(OdbcConnectionString({AnsiString("a\0b", 3), "sa", "", "srv", -1}, "FreeTDS"), EOleException);
}

// ---------------------------------------------------------------------------
// Through unixODBC and FreeTDS to the test server

class AdoConnectionLive : public testing::Test {
protected:
    void SetUp() override
    {
        char folder[] = "/tmp/quorvel-ado-XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        FFolder = folder;
        ConfigPath = FFolder + "/config.ini"; // absent unless a test writes it
    }
    void TearDown() override { std::filesystem::remove_all(FFolder); }

    void OpenAs(TAdoConnection& c, const TTdsTestServer& server, const AnsiString& user = "sa",
                const AnsiString& password = "pw", const AnsiString& catalog = "master")
    {
        c.ConnectionString = BuildConnectionText(password, user, catalog, server.DataSource());
        c.Open();
    }

    std::string FFolder;
    std::string ConfigPath;
};

TEST_F(AdoConnectionLive, OpensWithTheLoginAndCloses)
{
    TTdsTestServer server;
    TAdoConnection c(ConfigPath);
    EXPECT_FALSE(c.Connected());
    OpenAs(c, server, "backup_user", "secret", "pubs");
    EXPECT_TRUE(c.Connected());
    c.Open(); // already open: nothing happens
    c.Close();
    EXPECT_FALSE(c.Connected());
    OpenAs(c, server); // and it opens again
    EXPECT_TRUE(c.Connected());

    auto logins = server.Logins();
    ASSERT_EQ(logins.size(), 2u);
    EXPECT_EQ(logins[0]["user"], "backup_user");
    EXPECT_EQ(logins[0]["password"], "secret");
    EXPECT_EQ(logins[0]["database"], "pubs");
    EXPECT_EQ(logins[1]["user"], "sa");
}

TEST_F(AdoConnectionLive, PasswordsArriveExactly)
{
    // Wrong passwords are refused by the server, so a test that passes sent the right one.
    for (std::string utf8 : {"p;w=d", "a=b;c", "pw}x", "\"'", " blank ", "{start", "密码;中文"}) {
        TTdsTestServer server({.CheckPassword = true, .Password = utf8});
        TAdoConnection c(ConfigPath);
        ASSERT_NO_THROW(OpenAs(c, server, "sa", Utf8ToAnsi(utf8))) << utf8;
        ASSERT_EQ(server.Logins().size(), 1u);
        EXPECT_EQ(server.Logins()[0]["password"], utf8);
    }
}

TEST_F(AdoConnectionLive, PasswordFreeTdsCannotCarryIsNeverSent)
{
    TTdsTestServer server;
    TAdoConnection c(ConfigPath);
    try {
        OpenAs(c, server, "sa", "a}};b");
        FAIL() << "opened";
    } catch (const EOleException& e) {
        EXPECT_NE(e.Message.find("FreeTDS"), AnsiString::npos) << e.Message;
    }
    EXPECT_FALSE(c.Connected());
    EXPECT_TRUE(server.Logins().empty());
}

TEST_F(AdoConnectionLive, RefusedLoginCarriesTheServersMessage)
{
    TTdsTestServer server({.RefuseUsers = {"nobody"}});
    TAdoConnection c(ConfigPath);
    try {
        OpenAs(c, server, "nobody");
        FAIL() << "opened";
    } catch (const EOleException& e) {
        EXPECT_EQ(e.Message, "Login failed for user 'nobody'.");
        EXPECT_EQ(e.NativeError, 18456);
    }
    EXPECT_FALSE(c.Connected());
}

TEST_F(AdoConnectionLive, StatementsArriveAsSentAndReportTheirCounts)
{
    TTdsTestServer server({.Rules = {{.Match = "UPDATE", .Rows = 7},
                                     {.Match = "BACKUP", .Infos = {"10 percent processed.", "100 percent processed."}}}});
    TAdoConnection c(ConfigPath);
    OpenAs(c, server);

    const std::string backup = "if exists (select name From master.dbo.sysdatabases where name='财务''库') BACKUP "
                               "DATABASE [财务'库] TO  DISK = N'D:\\备份\\财务'库.bak' WITH  INIT ,  NOUNLOAD ,  "
                               "NAME = N'财务'库 备份',  NOSKIP ,  STATS = 10,  NOFORMAT";
    const std::string longOne = "SELECT '" + std::string(9000, 'x') + "中'";
    EXPECT_EQ(c.Execute(Utf8ToAnsi(backup)), -1); // info messages and a DONE without a count
    EXPECT_EQ(c.Execute("UPDATE t SET a = 1"), 7);
    EXPECT_EQ(c.Execute(Utf8ToAnsi(longOne)), -1); // several packets

    EXPECT_EQ(server.Statements(), (std::vector<std::string>{backup, "UPDATE t SET a = 1", longOne}));
}

TEST_F(AdoConnectionLive, FailingStatementCarriesTheServersMessage)
{
    struct TCase {
        std::string Message;
        int Number;
    };
    for (const TCase& t : {TCase{"Cannot open backup device 'D:\\bak\\pubs.bak'. Operating system error 3(The system "
                                 "cannot find the path specified.).",
                                 3201},
                           TCase{"无法打开备份设备 'D:\\备份\\pubs.bak'。出现操作系统错误 3(系统找不到指定的路径。)。", 3201}}) {
        TTdsTestServer server({.Rules = {{.Match = "BACKUP", .ErrorNumber = t.Number, .ErrorMessage = t.Message}}});
        TAdoConnection c(ConfigPath);
        OpenAs(c, server);
        try {
            c.Execute("BACKUP DATABASE [pubs] TO DISK = N'D:\\bak\\pubs.bak'");
            FAIL() << "no error";
        } catch (const EOleException& e) {
            EXPECT_EQ(e.Message, Utf8ToAnsi(t.Message) + "\nBACKUP DATABASE is terminating abnormally.");
            EXPECT_EQ(e.NativeError, t.Number);
        }
        EXPECT_EQ(c.Execute("SELECT 1"), -1); // the connection stays usable
    }
}

TEST_F(AdoConnectionLive, SlowStatementIsWaitedFor)
{
    TTdsTestServer server({.Rules = {{.Match = "BACKUP", .DelaySeconds = 1.5, .Rows = 3}}});
    TAdoConnection c(ConfigPath);
    OpenAs(c, server);
    auto start = steady_clock::now();
    EXPECT_EQ(c.Execute("BACKUP DATABASE [big]"), 3);
    EXPECT_GE(steady_clock::now() - start, milliseconds(1400));
    EXPECT_TRUE(server.Events("attention").empty()); // nobody cancelled it
}

TEST_F(AdoConnectionLive, DroppedConnectionIsAnError)
{
    TTdsTestServer server({.Rules = {{.Match = "BACKUP", .Drop = true}}});
    TAdoConnection c(ConfigPath);
    OpenAs(c, server);
    try {
        c.Execute("BACKUP DATABASE [pubs]");
        FAIL() << "no error";
    } catch (const EOleException& e) {
        EXPECT_NE(e.Message.find("EOF"), AnsiString::npos) << e.Message;
    }
}

TEST_F(AdoConnectionLive, StatementsThatCannotBeSentAreErrors)
{
    TAdoConnection c(ConfigPath);
    EXPECT_THROW(c.Execute("SELECT 1"), EOleException); // not open

    TTdsTestServer server;
    OpenAs(c, server);
    EXPECT_THROW(c.Execute("SELECT '\x81'"), EOleException); // half a character: not code page 936 text
    EXPECT_TRUE(server.Statements().empty());
}

TEST_F(AdoConnectionLive, UnreachableServerFailsQuicklyWithAClearMessage)
{
    TAdoConnection c(ConfigPath);
    const TClosedPort closed;
    c.ConnectionString = BuildConnectionText("pw", "sa", "master", "127.0.0.1," + std::to_string(closed.Port()));
    auto start = steady_clock::now();
    try {
        c.Open();
        FAIL() << "opened";
    } catch (const EOleException& e) {
        EXPECT_EQ(e.Message.rfind("SQL Server does not exist or access denied", 0), 0u) << e.Message;
    }
    EXPECT_LT(steady_clock::now() - start, seconds(5));
    EXPECT_FALSE(c.Connected());
}

TEST_F(AdoConnectionLive, ServerThatNeverAnswersTimesOut)
{
    struct TCase {
        const char* Name;
        TTdsServerOptions Options;
    };
    for (const TCase& t : {TCase{"silent", {.Silent = true}}, TCase{"drops", {.DropAfterPrelogin = true}}}) {
        TTdsTestServer server(t.Options);
        TAdoConnection c(ConfigPath);
        c.ConnectionTimeout = 2; // the default 15 s works the same way, only slower
        auto start = steady_clock::now();
        EXPECT_THROW(OpenAs(c, server), EOleException) << t.Name;
        EXPECT_LT(steady_clock::now() - start, seconds(6)) << t.Name;
        EXPECT_FALSE(c.Connected());
    }
}

TEST_F(AdoConnectionLive, DriverComesFromConfig)
{
    TTdsTestServer server;
    {
        TAdoConnection c(ConfigPath);
        EXPECT_EQ(c.DriverName(), "FreeTDS");
    }
    // A driver library named by path.
    std::ofstream(ConfigPath) << "[Database]\nOdbcDriver=/usr/lib/x86_64-linux-gnu/odbc/libtdsodbc.so\n";
    {
        TAdoConnection c(ConfigPath);
        OpenAs(c, server);
        EXPECT_TRUE(c.Connected());
    }
    // A driver unixODBC does not know: the error names it.
    std::ofstream(ConfigPath) << "[Database]\nOdbcDriver=No Such Driver 99\n";
    TAdoConnection c(ConfigPath);
    try {
        OpenAs(c, server);
        FAIL() << "opened";
    } catch (const EOleException& e) {
        EXPECT_NE(e.Message.find("No Such Driver 99"), AnsiString::npos) << e.Message;
    }
    EXPECT_EQ(server.Logins().size(), 1u);
}

} // namespace
