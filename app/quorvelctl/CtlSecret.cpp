#include "app/quorvelctl/CtlSecret.h"

#include <iostream>

#include "platform/AnsiString.h"
#include "platform/Exception.h"
#include "platform/Files.h"

namespace {
constexpr std::uint64_t MaxSecretFileSize = 64 * 1024; // a password file, not a document
}

std::string ReadSecretLine(const std::string& source) {
    std::string line;
    if (source == "-") {
        std::getline(std::cin, line);
    } else {
        std::string content;
        if (const std::string reason = ReadRegularFile(source, content, MaxSecretFileSize); !reason.empty())
            throw Exception(Format("Cannot open file \"%s\". %s", Utf8ToAnsiLenient(source).c_str(),
                                   Utf8ToAnsiLenient(reason).c_str()));
        line = content.substr(0, content.find('\n'));
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}
