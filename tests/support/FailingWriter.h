#pragma once
// A message writer that keeps what it is given and fails on its Nth write, as
// a connection that breaks in the middle of a message does.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "mail/IdWriter.h"
#include "platform/Exception.h"

class EFailingWrite : public Exception {
public:
    using Exception::Exception;
};

class TFailingWriter : public TIdWriter {
public:
    // `failOn` counts from 1; 0 never fails.
    explicit TFailingWriter(std::size_t failOn = 0) : FailOn(failOn) {}

    void Write(std::string_view bytes) override {
        if (++Writes == FailOn) throw EFailingWrite("write " + std::to_string(Writes) + " failed");
        Bytes.append(bytes);
    }
    void Flush() override { FlushedAt.push_back(Bytes.size()); }

    std::size_t FailOn;
    std::size_t Writes = 0;   // calls so far, the failing one included
    std::string Bytes;        // what the writes before the failing one carried
    std::vector<std::size_t> FlushedAt;
};
