#pragma once
// The scripted TCP peer (tests/peers/scripted_peer.py): the replies a real server
// rarely gives on request, and a record of every line the client sent.
#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/PeerProcess.h"

struct TPeerStep {
    std::string Kind; // send, recv, data, close, reset, sleep, drain, flood
    std::string Text;
    int Ms = 0;
    int Count = 0; // of a flood
};

inline TPeerStep Say(std::string text) { return {"send", std::move(text), 0}; }
inline TPeerStep Hear() { return {"recv", {}, 0}; }
inline TPeerStep HearMessage() { return {"data", {}, 0}; }
inline TPeerStep Hang(int ms) { return {"sleep", {}, ms}; }
inline TPeerStep CloseConnection() { return {"close", {}, 0}; }
inline TPeerStep ResetConnection() { return {"reset", {}, 0}; }
// Sends `text` `count` times: more data than a script on the command line can hold.
inline TPeerStep Flood(std::string text, int count) { return {"flood", std::move(text), 0, count}; }

// Bytes as a JSON string whose code points 0-255 are the bytes.
inline std::string JsonBytes(const std::string& bytes) {
    std::string json = "\"";
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            json += static_cast<char>(c);
        } else {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            json += escape;
        }
    }
    return json + "\"";
}

inline std::string ScriptJson(const std::vector<TPeerStep>& steps) {
    std::string json = "[";
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const TPeerStep& s = steps[i];
        if (i) json += ",";
        json += "[\"" + s.Kind + "\"";
        if (s.Kind == "send") json += "," + JsonBytes(s.Text);
        if (s.Kind == "flood") json += "," + JsonBytes(s.Text) + "," + std::to_string(s.Count);
        if (s.Kind == "sleep") json += "," + std::to_string(s.Ms);
        json += "]";
    }
    return json + "]";
}

class TScriptedPeer : public TPeerProcess {
public:
    explicit TScriptedPeer(const std::vector<TPeerStep>& steps)
        : TPeerProcess("scripted_peer.py", {"--script", ScriptJson(steps)}) {}
};
