#pragma once
// The database connection the backup step and the task editor use: an ADO-like
// connection that takes an OLE DB connection text ("Provider=SQLOLEDB.1;
// Password=...;User ID=...;Initial Catalog=...;Data Source=...") and reaches
// SQL Server through unixODBC and the FreeTDS driver (or the ODBC driver an
// administrator names in config.ini).
#include <cstdint>
#include <memory>
#include <string>

#include "platform/AnsiString.h"
#include "platform/Exception.h"

// Every failure of the connection: a connection text that cannot be used, a
// server that cannot be reached, a refused login, a failing statement. The
// message is the server's own text where the server gave one.
class EOleException : public Exception {
public:
    EOleException(AnsiString message, AnsiString sqlState = {}, long nativeError = 0)
        : Exception(std::move(message)), SqlState(std::move(sqlState)), NativeError(nativeError) {}

    AnsiString SqlState; // ODBC's five-character state of the first diagnostic, "" if none
    long NativeError;    // SQL Server's error number (18456, 3201, ...), 0 if the server gave none
};

// Where a Data Source points: host, and either a port or a named instance.
struct TSqlServerAddress {
    AnsiString Host;
    int Port = 0;        // 0: the default port 1433 (or the instance's port)
    AnsiString Instance; // empty: the default instance

    bool operator==(const TSqlServerAddress&) const = default;
};

// The Data Source forms that SQL Server users type: "host", "host\instance",
// "host,port", optionally with "tcp:" in front; "(local)", "." and "localhost"
// mean this machine. Raises EOleException for a form it cannot use.
TSqlServerAddress TranslateDataSource(const AnsiString& dataSource);

// The values of an OLE DB connection text that the connection uses.
struct TConnectionValues {
    AnsiString Password;
    AnsiString UserId;
    AnsiString InitialCatalog;
    AnsiString DataSource;
    int ConnectTimeout = -1; // "Connect Timeout" when given, else -1

    bool operator==(const TConnectionValues&) const = default;
};

// Reads an OLE DB connection text: "key=value" pairs separated by ";", keys
// without regard to case, a value in double or single quotes (the quote doubled
// inside) may hold ";". Raises EOleException on a malformed text.
TConnectionValues ParseConnectionText(const AnsiString& text);

// The connection text the backup step and the task editor build. Values that
// need no quoting are inserted as they are, so the usual text is byte for byte
// "Provider=SQLOLEDB.1;Password=<pw>;Persist Security Info=True;User ID=<user>;
// Initial Catalog=<db>;Data Source=<server>"; a value with ";", quotes or
// blanks at its ends is quoted so that it reads back exactly.
AnsiString BuildConnectionText(const AnsiString& password, const AnsiString& userId, const AnsiString& initialCatalog,
                               const AnsiString& dataSource);

// The ODBC connection string (UTF-16) for a driver; values are braced where
// needed. Raises EOleException when a value cannot be carried to that driver
// (FreeTDS cannot take a "}" together with a ";" in one value).
std::u16string OdbcConnectionString(const TConnectionValues& values, const AnsiString& driver,
                                    const AnsiString& extraOptions = {});

class TAdoConnection {
public:
    // Reads the driver from key OdbcDriver, section Database, of this file; empty: ExeFolder() + "config.ini".
    explicit TAdoConnection(std::string configPath = {});
    ~TAdoConnection();
    TAdoConnection(const TAdoConnection&) = delete;
    TAdoConnection& operator=(const TAdoConnection&) = delete;

    AnsiString ConnectionString; // OLE DB form, code page 936
    bool LoginPrompt = false;    // there is nobody to ask: never prompts whatever it says
    int ConnectionTimeout = 15;  // seconds for reaching the server and logging in
    int CommandTimeout = 0;      // seconds a statement may take; 0: no limit (backups take hours)

    // Raises EOleException with the reason when the connection cannot be opened.
    void Open();
    void Close();
    bool Connected() const;

    // Runs one statement (all its results); returns the rows affected, -1 when the server gave no count.
    // Raises EOleException carrying the server's message when the statement fails.
    std::int64_t Execute(const AnsiString& sql);

    // The ODBC driver Open() uses, as configured.
    AnsiString DriverName() const;

private:
    struct THandles;
    std::string FConfigPath;
    std::unique_ptr<THandles> FHandles;
};
