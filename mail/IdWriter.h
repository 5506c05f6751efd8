#pragma once
#include <cstdint>
#include <string_view>
// Where a message's bytes go: the connection, or a buffer in tests.
class TIdWriter {
public:
    virtual ~TIdWriter() = default;
    virtual void Write(std::string_view bytes) = 0;
    // A writer that gathers bytes sends them here. The message calls it before it
    // opens an attachment's file, so a file that cannot be opened fails with
    // everything before it already on the wire.
    virtual void Flush() {}
    // A writer that only counts bytes: an attachment then adds the size of its
    // encoding with Skip instead of reading and encoding its file.
    virtual bool CountsOnly() const { return false; }
    virtual void Skip(std::uint64_t /*bytes*/) {}
};
