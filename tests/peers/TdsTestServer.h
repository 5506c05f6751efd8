#pragma once
// Starts tests/peers/tds_server.py (a TDS 7.x server playing SQL Server) on a free
// port of 127.0.0.1 for the life of the object and reads back what it recorded.
//
//     TTdsTestServer server({.Rules = {{.Match = "BACKUP", .ErrorNumber = 3201, .ErrorMessage = "..."}}});
//     connection.ConnectionString = BuildConnectionText("pw", "sa", "master", server.DataSource());
//     ... server.Statements() ...
//
// Texts given to and read from the server are UTF-8.
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#ifndef QUORVEL_PYTHON
#define QUORVEL_PYTHON "/usr/bin/python3"
#endif

#include "tests/support/ChildProcess.h"

// What the server does with a statement that contains `Match` (the first matching rule wins).
struct TTdsRule {
    std::string Match{};
    double DelaySeconds = 0;        // answers only after this long (a cancel ends the wait)
    std::vector<std::string> Infos{}; // info messages before the answer (e.g. "10 percent processed.")
    std::int64_t Rows = -1;         // >= 0: the answer carries this row count
    int ErrorNumber = 0;            // != 0: the statement fails with this error ...
    std::string ErrorMessage{};     // ... and this text
    bool Terminate = true;          // ... followed by 3013 "BACKUP DATABASE is terminating abnormally."
    bool Drop = false;              // closes the connection instead of answering
};

struct TTdsServerOptions {
    bool RefuseLogin = false;             // every login fails with 18456
    std::vector<std::string> RefuseUsers{}; // these logins fail with 18456
    bool CheckPassword = false;           // logins with another password than Password fail
    std::string Password{};
    bool DropAfterPrelogin = false; // closes the connection before the login is answered
    bool Silent = false;            // accepts connections, never answers
    std::vector<TTdsRule> Rules{};
};

// One line of the record: "login" (User, Password, Database, Refused), "sql" (Text), "attention".
struct TTdsEvent {
    std::string Event;
    std::map<std::string, std::string> Fields;
    std::string operator[](const std::string& key) const
    {
        auto it = Fields.find(key);
        return it == Fields.end() ? std::string() : it->second;
    }
};

namespace tds_test_detail {

inline std::string JsonString(const std::string& s)
{
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

inline void AppendUtf8(std::string& out, std::uint32_t c)
{
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | (c >> 6));
        out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += char(0xE0 | (c >> 12));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xF0 | (c >> 18));
        out += char(0x80 | ((c >> 12) & 0x3F));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
}

// Reads one flat JSON object of the record (ASCII, \u escapes) into strings.
inline TTdsEvent ParseEventLine(const std::string& line)
{
    TTdsEvent event;
    std::size_t i = 0;
    auto skip = [&] {
        while (i < line.size() && (line[i] == ' ' || line[i] == ',' || line[i] == ':' || line[i] == '{' ||
                                   line[i] == '}'))
            ++i;
    };
    auto hex4 = [&](std::size_t at) { return std::uint32_t(std::stoul(line.substr(at, 4), nullptr, 16)); };
    auto readString = [&] {
        std::string out;
        ++i; // opening quote
        while (i < line.size() && line[i] != '"') {
            if (line[i] != '\\') {
                out += line[i++];
                continue;
            }
            char e = line[i + 1];
            i += 2;
            switch (e) {
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'u': {
                std::uint32_t c = hex4(i);
                i += 4;
                if (c >= 0xD800 && c <= 0xDBFF && line.compare(i, 2, "\\u") == 0) {
                    std::uint32_t low = hex4(i + 2);
                    if (low >= 0xDC00 && low <= 0xDFFF) {
                        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                        i += 6;
                    }
                }
                AppendUtf8(out, c);
                break;
            }
            default: out += e;
            }
        }
        ++i; // closing quote
        return out;
    };
    for (skip(); i < line.size(); skip()) {
        std::string key = readString();
        skip();
        std::string value;
        if (i < line.size() && line[i] == '"') {
            value = readString();
        } else {
            std::size_t end = line.find_first_of(",}", i);
            value = line.substr(i, end - i);
            i = end;
        }
        if (key == "event")
            event.Event = value;
        else
            event.Fields[key] = value;
    }
    return event;
}

} // namespace tds_test_detail

class TTdsTestServer {
public:
    explicit TTdsTestServer(const TTdsServerOptions& options = {})
    {
        char folder[] = "/tmp/quorvel-tds-XXXXXX";
        if (!mkdtemp(folder)) throw std::runtime_error("mkdtemp failed");
        FFolder = folder;
        FRecord = FFolder + "/record.jsonl";
        std::string config = FFolder + "/config.json";
        std::ofstream(config) << ConfigJson(options);

        TChildOptions child;
        child.Argv = {QUORVEL_PYTHON, std::string(QUORVEL_PEERS_DIR) + "/tds_server.py", "--record", FRecord, "--config",
                      config};
        FProcess = std::make_unique<TChildProcess>(child);
        // The server prints its port once it listens.
        FPort = std::atoi(FProcess->ReadLine(std::chrono::seconds(15)).c_str());
        if (FPort <= 0) {
            FProcess.reset();
            throw std::runtime_error("the TDS test server did not start");
        }
    }

    ~TTdsTestServer()
    {
        FProcess.reset(); // ends the server before its folder goes
        std::error_code ignored;
        std::filesystem::remove_all(FFolder, ignored);
    }

    TTdsTestServer(const TTdsTestServer&) = delete;
    TTdsTestServer& operator=(const TTdsTestServer&) = delete;

    int Port() const { return FPort; }
    // The Data Source form "127.0.0.1,<port>".
    std::string DataSource() const { return "127.0.0.1," + std::to_string(FPort); }

    std::vector<TTdsEvent> Events() const
    {
        std::vector<TTdsEvent> events;
        std::ifstream in(FRecord);
        std::string line;
        while (std::getline(in, line))
            if (!line.empty()) events.push_back(tds_test_detail::ParseEventLine(line));
        return events;
    }
    std::vector<TTdsEvent> Events(const std::string& kind) const
    {
        std::vector<TTdsEvent> selected;
        for (TTdsEvent& e : Events())
            if (e.Event == kind) selected.push_back(std::move(e));
        return selected;
    }
    // The statements received, in order.
    std::vector<std::string> Statements() const
    {
        std::vector<std::string> texts;
        for (const TTdsEvent& e : Events("sql")) texts.push_back(e["text"]);
        return texts;
    }
    std::vector<TTdsEvent> Logins() const { return Events("login"); }

private:
    static std::string ConfigJson(const TTdsServerOptions& o)
    {
        using tds_test_detail::JsonString;
        std::ostringstream j;
        j << "{\"refuse_login\": " << (o.RefuseLogin ? "true" : "false");
        j << ", \"drop_after_prelogin\": " << (o.DropAfterPrelogin ? "true" : "false");
        j << ", \"silent\": " << (o.Silent ? "true" : "false");
        if (o.CheckPassword) j << ", \"password\": " << JsonString(o.Password);
        j << ", \"refuse_users\": [";
        for (std::size_t i = 0; i < o.RefuseUsers.size(); ++i) j << (i ? ", " : "") << JsonString(o.RefuseUsers[i]);
        j << "], \"rules\": [";
        for (std::size_t i = 0; i < o.Rules.size(); ++i) {
            const TTdsRule& r = o.Rules[i];
            j << (i ? ", " : "") << "{\"match\": " << JsonString(r.Match) << ", \"delay\": " << r.DelaySeconds
              << ", \"drop\": " << (r.Drop ? "true" : "false") << ", \"info\": [";
            for (std::size_t k = 0; k < r.Infos.size(); ++k) j << (k ? ", " : "") << JsonString(r.Infos[k]);
            j << "]";
            if (r.Rows >= 0) j << ", \"rows\": " << r.Rows;
            if (r.ErrorNumber != 0)
                j << ", \"error\": {\"number\": " << r.ErrorNumber << ", \"message\": " << JsonString(r.ErrorMessage)
                  << ", \"terminate\": " << (r.Terminate ? "true" : "false") << "}";
            j << "}";
        }
        j << "]}";
        return j.str();
    }

    std::string FFolder;
    std::string FRecord;
    std::unique_ptr<TChildProcess> FProcess;
    int FPort = 0;
};
