#pragma once
// A test peer (a Python server of tests/peers) run as a child process: started
// with its arguments, it prints "PORT <n>" once it listens; everything it prints
// later can be read with a time limit.
#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"

class TPeerProcess {
public:
    // Raises std::runtime_error when the peer does not report its port in time.
    TPeerProcess(const std::string& script, std::vector<std::string> args, int startLimitMs = 15000);

    // One line of the peer's output without its LF; empty when the time ran out
    // or the peer ended.
    std::string ReadLine(int limitMs = 10000);
    // The lines the scripted peer recorded ("LINE <hex>" ... "END"), as raw bytes.
    std::vector<std::string> Transcript(int limitMs = 10000);
    void Stop();

    int Port = 0;

private:
    TChildProcess FChild;
};
