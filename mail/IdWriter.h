#pragma once
#include <string_view>
// Where a message's bytes go: the connection, or a buffer in tests.
class TIdWriter { public: virtual ~TIdWriter() = default; virtual void Write(std::string_view bytes) = 0; };
