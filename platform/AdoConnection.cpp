#include "platform/AdoConnection.h"

#include <sql.h>
#include <sqlext.h>
#include <sqlucode.h>

#include <charconv>
#include <optional>
#include <vector>

#include "platform/Files.h"
#include "platform/IniFile.h"

namespace {

const char* const MalformedText = "The connection text is malformed: it must be key=value pairs separated by \";\".";

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view TrimBlanks(std::string_view s)
{
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

// Index of the first `c` that is a character of its own, not the trail byte of a double-byte one.
std::size_t FindChar(std::string_view s, char c)
{
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == c) return i;
        if (IsLeadByte(s[i])) ++i;
    }
    return std::string_view::npos;
}

// Keys collapse letter case and runs of blanks: "User  id" names "User ID".
std::string NormalKey(std::string_view key)
{
    std::string out;
    for (char c : TrimBlanks(key)) {
        if (IsBlank(c)) {
            if (!out.empty() && out.back() != ' ') out += ' ';
        } else {
            out += (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
        }
    }
    return out;
}

std::u16string ToUtf16(const AnsiString& text, const char* what)
{
    try {
        return AnsiToUtf16(text);
    } catch (const EEncodingError& e) {
        throw EOleException(Format("The %s is not valid text: %s", what, e.Message.c_str()));
    }
}

std::u16string Ascii(std::string_view s) { return std::u16string(s.begin(), s.end()); }

// One value for the connection string, braced where the driver needs it.
std::u16string OdbcValue(const AnsiString& value, const char* what, bool freeTds)
{
    std::u16string v = ToUtf16(value, what);
    if (v.find(u'\0') != std::u16string::npos)
        throw EOleException(Format("The %s contains a NUL character, which cannot be passed to the ODBC driver.", what));
    if (v.find(u'}') == std::u16string::npos) return u"{" + v + u"}";
    if (!freeTds) { // the ODBC rule: a "}" inside braces is written twice
        std::u16string out = u"{";
        for (char16_t c : v) {
            out += c;
            if (c == u'}') out += u'}';
        }
        return out + u"}";
    }
    // FreeTDS ends a braced value at the first "}", doubled or not; without braces
    // a value runs to the next ";" and keeps its "}" - as long as it has no ";".
    bool plainFits = v.find(u';') == std::u16string::npos && v.front() != u'{' && v.front() > u' ' && v.back() > u' ';
    if (plainFits) return v;
    throw EOleException(Format("The %s contains \"}\" together with \";\", \"{\" at its start or blanks at its ends, "
                               "which the FreeTDS ODBC driver cannot pass on; change the %s, or name another ODBC "
                               "driver with the key OdbcDriver in section Database of config.ini.",
                               what, what));
}

struct TDiagRecord {
    AnsiString State;
    long Native = 0;
    AnsiString Text;
};

// The driver's messages start with the names of the layers that report them: "[FreeTDS][SQL Server]...".
AnsiString StripVendorPrefixes(std::string text)
{
    while (!text.empty() && text.front() == '[') {
        std::size_t close = text.find(']');
        if (close == std::string::npos) break;
        text.erase(0, close + 1);
    }
    return Utf8ToAnsiLenient(text);
}

std::vector<TDiagRecord> Diagnostics(SQLSMALLINT handleType, SQLHANDLE handle)
{
    std::vector<TDiagRecord> records;
    if (handle == SQL_NULL_HANDLE) return records;
    for (SQLSMALLINT number = 1;; ++number) {
        SQLWCHAR state[6] = {};
        SQLINTEGER native = 0;
        SQLSMALLINT length = 0;
        std::vector<SQLWCHAR> text(1024);
        SQLRETURN rc = SQLGetDiagRecW(handleType, handle, number, state, &native, text.data(),
                                      SQLSMALLINT(text.size()), &length);
        if (rc == SQL_SUCCESS_WITH_INFO && length >= SQLSMALLINT(text.size())) {
            text.resize(std::size_t(length) + 1);
            rc = SQLGetDiagRecW(handleType, handle, number, state, &native, text.data(), SQLSMALLINT(text.size()),
                                &length);
        }
        if (!SQL_SUCCEEDED(rc)) break;
        TDiagRecord record;
        for (SQLWCHAR c : state)
            if (c) record.State += char(c);
        record.Native = native;
        std::u16string wide(reinterpret_cast<const char16_t*>(text.data()),
                            std::min<std::size_t>(std::size_t(std::max<SQLSMALLINT>(length, 0)), text.size() - 1));
        record.Text = StripVendorPrefixes(Utf16ToUtf8Lenient(wide));
        records.push_back(std::move(record));
    }
    return records;
}

// FreeTDS numbers its own client-side messages from 20000 (20009: unable to connect);
// SQL Server's errors (18456, 3201, ...) lie outside that range.
bool IsServerMessage(const TDiagRecord& r) { return r.Native != 0 && (r.Native < 20000 || r.Native >= 20300); }

// The error a failed call raises: the server's own messages when it sent any
// (as ADO shows them), else the driver's.
[[noreturn]] void RaiseDiagnostics(SQLSMALLINT handleType, SQLHANDLE handle, const char* fallback,
                                   bool opening = false)
{
    std::vector<TDiagRecord> records = Diagnostics(handleType, handle);
    std::vector<const TDiagRecord*> errors;
    for (const TDiagRecord& r : records)
        if (r.State.rfind("01", 0) != 0) errors.push_back(&r); // 01xxx: warnings and the server's info messages
    if (errors.empty())
        for (const TDiagRecord& r : records) errors.push_back(&r);
    if (errors.empty()) throw EOleException(fallback);

    std::vector<const TDiagRecord*> server;
    for (const TDiagRecord* r : errors)
        if (IsServerMessage(*r)) server.push_back(r);
    const std::vector<const TDiagRecord*>& shown = server.empty() ? errors : server;

    AnsiString message;
    for (const TDiagRecord* r : shown) {
        if (r->Text.empty() || message.find(r->Text) != AnsiString::npos) continue;
        if (!message.empty()) message += server.empty() ? "; " : "\n";
        message += r->Text;
    }
    if (message.empty()) message = fallback;
    const AnsiString& state = shown.front()->State;
    if (opening && server.empty() && (state.rfind("08", 0) == 0 || state == "HYT00"))
        message = "SQL Server does not exist or access denied (" + message + ").";
    throw EOleException(message, state, server.empty() ? 0 : server.front()->Native);
}

template <SQLSMALLINT Type>
struct THandleDeleter {
    void operator()(void* handle) const { SQLFreeHandle(Type, handle); }
};
template <SQLSMALLINT Type>
using THandle = std::unique_ptr<void, THandleDeleter<Type>>;

} // namespace

TSqlServerAddress TranslateDataSource(const AnsiString& dataSource)
{
    std::string_view s = TrimBlanks(dataSource);
    if (s.size() >= 4 && NormalKey(s.substr(0, 4)) == "tcp:") s = TrimBlanks(s.substr(4));
    for (const char* other : {"np:", "lpc:", "admin:", "rpc:", "spx:", "via:"}) {
        std::string_view prefix(other);
        if (s.size() >= prefix.size() && NormalKey(s.substr(0, prefix.size())) == prefix)
            throw EOleException(Format("The Data Source \"%s\" asks for a network protocol other than TCP, which is "
                                       "not supported.",
                                       dataSource.c_str()));
    }

    TSqlServerAddress address;
    std::size_t comma = FindChar(s, ',');
    if (comma != std::string_view::npos) {
        std::string_view portText = TrimBlanks(s.substr(comma + 1));
        int port = 0;
        auto [end, error] = std::from_chars(portText.data(), portText.data() + portText.size(), port);
        if (portText.empty() || error != std::errc() || end != portText.data() + portText.size() || port < 1 ||
            port > 65535)
            throw EOleException(Format("The port in the Data Source \"%s\" is not a number from 1 to 65535.",
                                       dataSource.c_str()));
        address.Port = port;
        s = TrimBlanks(s.substr(0, comma));
    }
    std::size_t slash = FindChar(s, '\\');
    if (slash != std::string_view::npos) {
        address.Instance = AnsiString(TrimBlanks(s.substr(slash + 1)));
        s = TrimBlanks(s.substr(0, slash));
    }
    if (s.size() >= 2 && s.front() == '[' && s.back() == ']') s = s.substr(1, s.size() - 2);
    AnsiString host(s);
    if (host.empty() || host == "." || SameText(host, "(local)") || SameText(host, "localhost"))
        host = "127.0.0.1"; // this machine; the loopback address, not whatever "localhost" resolves to first
    address.Host = host;
    return address;
}

TConnectionValues ParseConnectionText(const AnsiString& text)
{
    TConnectionValues values;
    std::string_view s = text;
    std::size_t pos = 0;
    while (pos < s.size()) {
        if (IsBlank(s[pos]) || s[pos] == ';') {
            ++pos;
            continue;
        }
        std::string key; // "==" in a key stands for "="
        for (;;) {
            if (pos >= s.size() || s[pos] == ';') throw EOleException(MalformedText);
            if (s[pos] == '=') {
                if (pos + 1 < s.size() && s[pos + 1] == '=') {
                    key += '=';
                    pos += 2;
                    continue;
                }
                ++pos;
                break;
            }
            key += s[pos++];
        }
        while (pos < s.size() && IsBlank(s[pos])) ++pos;
        std::string value;
        if (pos < s.size() && (s[pos] == '"' || s[pos] == '\'')) {
            char quote = s[pos++];
            for (;;) {
                if (pos >= s.size()) throw EOleException(MalformedText);
                if (s[pos] == quote) {
                    if (pos + 1 < s.size() && s[pos + 1] == quote) {
                        value += quote;
                        pos += 2;
                        continue;
                    }
                    ++pos;
                    break;
                }
                value += s[pos++];
            }
            while (pos < s.size() && IsBlank(s[pos])) ++pos;
            if (pos < s.size() && s[pos] != ';') throw EOleException(MalformedText);
        } else {
            std::size_t end = s.find(';', pos);
            if (end == std::string_view::npos) end = s.size();
            value = std::string(TrimBlanks(s.substr(pos, end - pos)));
            pos = end;
        }

        std::string name = NormalKey(key);
        if (name.empty()) throw EOleException(MalformedText);
        if (name == "password" || name == "pwd") {
            values.Password = value;
        } else if (name == "user id" || name == "uid" || name == "user") {
            values.UserId = value;
        } else if (name == "initial catalog" || name == "database") {
            values.InitialCatalog = value;
        } else if (name == "data source" || name == "server" || name == "address" || name == "addr" ||
                   name == "network address") {
            values.DataSource = value;
        } else if (name == "connect timeout" || name == "connection timeout") {
            int seconds = 0;
            auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), seconds);
            if (value.empty() || error != std::errc() || end != value.data() + value.size() || seconds < 0)
                throw EOleException(Format("The Connect Timeout \"%s\" is not a number of seconds.", value.c_str()));
            values.ConnectTimeout = seconds;
        } else if (name == "integrated security" || name == "trusted_connection") {
            if (!SameText(value, "false") && !SameText(value, "no"))
                throw EOleException("Integrated security is not supported: give a SQL Server login and password.");
        }
        // Provider, Persist Security Info and the rest do not change how we connect.
    }
    return values;
}

AnsiString BuildConnectionText(const AnsiString& password, const AnsiString& userId, const AnsiString& initialCatalog,
                               const AnsiString& dataSource)
{
    auto quoted = [](const AnsiString& v) -> AnsiString {
        bool needs = v.find(';') != AnsiString::npos ||
                     (!v.empty() && (IsBlank(v.front()) || IsBlank(v.back()) || v.front() == '"' || v.front() == '\''));
        if (!needs) return v;
        char quote = v.find('"') == AnsiString::npos || v.find('\'') != AnsiString::npos ? '"' : '\'';
        AnsiString out(1, quote);
        for (char c : v) {
            out += c;
            if (c == quote) out += c;
        }
        return out + quote;
    };
    return "Provider=SQLOLEDB.1;Password=" + quoted(password) + ";Persist Security Info=True;User ID=" +
           quoted(userId) + ";Initial Catalog=" + quoted(initialCatalog) + ";Data Source=" + quoted(dataSource);
}

std::u16string OdbcConnectionString(const TConnectionValues& values, const AnsiString& driver,
                                    const AnsiString& extraOptions)
{
    AnsiString lowerDriver = AnsiLowerCase(driver);
    bool freeTds = lowerDriver.find("freetds") != AnsiString::npos || lowerDriver.find("tdsodbc") != AnsiString::npos;
    TSqlServerAddress address = TranslateDataSource(values.DataSource);

    std::u16string out = u"DRIVER=" + OdbcValue(driver, "ODBC driver name", freeTds) + u";";
    AnsiString server = address.Host;
    if (address.Port == 0 && !address.Instance.empty()) server += "\\" + address.Instance;
    if (freeTds) {
        // SQL Server speaks 7.x; "auto" would fall back to Sybase's 5.0 after a time-out and then
        // wait without limit for the server to answer its logout.
        out += u"TDS_Version=7.4;";
        if (address.Port != 0 || address.Instance.empty()) {
            out += u"SERVER=" + OdbcValue(address.Host, "Data Source", true) + u";";
            out += u"PORT=" + Ascii(std::to_string(address.Port ? address.Port : 1433)) + u";";
        } else { // FreeTDS asks the server's browser service for the instance's port
            out += u"SERVER=" + OdbcValue(server, "Data Source", true) + u";";
        }
    } else {
        if (address.Port != 0) server = "tcp:" + server + "," + std::to_string(address.Port);
        out += u"SERVER=" + OdbcValue(server, "Data Source", false) + u";";
    }
    out += u"UID=" + OdbcValue(values.UserId, "User ID", freeTds) + u";";
    out += u"PWD=" + OdbcValue(values.Password, "password", freeTds) + u";";
    if (!values.InitialCatalog.empty())
        out += u"DATABASE=" + OdbcValue(values.InitialCatalog, "Initial Catalog", freeTds) + u";";
    if (!TrimBlanks(extraOptions).empty()) out += ToUtf16(AnsiString(TrimBlanks(extraOptions)), "OdbcOptions") + u";";
    return out;
}

struct TAdoConnection::THandles {
    THandle<SQL_HANDLE_ENV> Env;
    THandle<SQL_HANDLE_DBC> Dbc;
    bool Connected = false;

    ~THandles()
    {
        if (Connected) SQLDisconnect(Dbc.get());
        Dbc.reset(); // the connection goes before its environment
    }
};

TAdoConnection::TAdoConnection(std::string configPath) : FConfigPath(std::move(configPath)) {}

TAdoConnection::~TAdoConnection() = default;

AnsiString TAdoConnection::DriverName() const
{
    std::string path = FConfigPath.empty() ? ExeFolder() + "config.ini" : FConfigPath;
    const AnsiString stored = GetPrivateProfileString("Database", "OdbcDriver", "", path);
    AnsiString driver(Trim(stored));
    return driver.empty() ? AnsiString("FreeTDS") : driver;
}

void TAdoConnection::Open()
{
    if (Connected()) return;
    FHandles.reset();

    TConnectionValues values = ParseConnectionText(ConnectionString);
    std::string path = FConfigPath.empty() ? ExeFolder() + "config.ini" : FConfigPath;
    std::u16string odbc =
        OdbcConnectionString(values, DriverName(), GetPrivateProfileString("Database", "OdbcOptions", "", path));
    int timeout = values.ConnectTimeout >= 0 ? values.ConnectTimeout : ConnectionTimeout;

    auto handles = std::make_unique<THandles>();
    SQLHANDLE env = SQL_NULL_HANDLE;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env)))
        throw EOleException("The ODBC driver manager cannot be initialised.");
    handles->Env.reset(env);
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLHANDLE dbc = SQL_NULL_HANDLE;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc)))
        RaiseDiagnostics(SQL_HANDLE_ENV, env, "The ODBC connection cannot be created.");
    handles->Dbc.reset(dbc);
    SQLSetConnectAttrW(dbc, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(SQLULEN(timeout)), 0);

    SQLRETURN rc = SQLDriverConnectW(dbc, nullptr, reinterpret_cast<SQLWCHAR*>(odbc.data()), SQLSMALLINT(odbc.size()),
                                     nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT);
    if (!SQL_SUCCEEDED(rc)) RaiseDiagnostics(SQL_HANDLE_DBC, dbc, "The connection to SQL Server cannot be opened.", true);
    handles->Connected = true;
    FHandles = std::move(handles);
}

void TAdoConnection::Close() { FHandles.reset(); }

bool TAdoConnection::Connected() const { return FHandles && FHandles->Connected; }

std::int64_t TAdoConnection::Execute(const AnsiString& sql)
{
    if (!Connected()) throw EOleException("Operation is not allowed when the object is closed.");
    std::u16string text = ToUtf16(sql, "statement");

    SQLHANDLE stmt = SQL_NULL_HANDLE;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, FHandles->Dbc.get(), &stmt)))
        RaiseDiagnostics(SQL_HANDLE_DBC, FHandles->Dbc.get(), "The statement cannot be prepared.");
    THandle<SQL_HANDLE_STMT> statement(stmt);
    SQLSetStmtAttrW(stmt, SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(SQLULEN(CommandTimeout)), 0);

    // Diagnostics are read before SQLRowCount: after an error it would fail and wipe them.
    SQLRETURN rc = SQLExecDirectW(stmt, reinterpret_cast<SQLWCHAR*>(text.data()), SQLINTEGER(text.size()));
    std::int64_t affected = -1;
    for (;;) {
        if (rc == SQL_ERROR || rc == SQL_INVALID_HANDLE)
            RaiseDiagnostics(SQL_HANDLE_STMT, stmt, "The statement failed.");
        if (rc == SQL_NO_DATA) break; // a BACKUP ends with a DONE that carries no count
        SQLLEN count = -1;
        if (SQL_SUCCEEDED(SQLRowCount(stmt, &count)) && count >= 0) affected = (affected < 0 ? 0 : affected) + count;
        rc = SQLMoreResults(stmt);
    }
    return affected;
}
