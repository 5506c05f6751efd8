// libFuzzer target over the header encoder and the message writer: the fields a
// user types (sender, recipients, subject) and the body go through the same
// message the program mails. Whatever they hold, the text on the wire must have
// only CR LF line ends, no line "." alone, and a well-formed header block that
// ends after the last field this writer adds.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include <fuzzer/FuzzedDataProvider.h>

#include "mail/IdMessage.h"
#include "mail/IdWriter.h"

namespace {

struct TCapture : TIdWriter {
    std::string Bytes;
    void Write(std::string_view bytes) override { Bytes.append(bytes); }
};

// A small archive to attach, made once per run in the working folder.
const std::string& AttachmentPath() {
    static const std::string path = [] {
        const std::string p = "message-fuzzer-attachment.rar";
        if (std::FILE* f = std::fopen(p.c_str(), "wb")) {
            std::fputs("Rar!\x1a\x07\x00 a small archive", f);
            std::fclose(f);
        }
        return p;
    }();
    return path;
}

bool IsFieldNameChar(char c) { return c > ' ' && c < 0x7F && c != ':'; }

void CheckWire(const std::string& wire) {
    bool inHeaders = true, sawLastField = false;
    std::size_t start = 0;
    while (start < wire.size()) {
        const std::size_t lf = wire.find('\n', start);
        if (lf == std::string::npos || lf == start || wire[lf - 1] != '\r') __builtin_trap(); // a bare LF or no line end
        const std::string_view line(wire.data() + start, lf - 1 - start);
        if (line.find('\r') != std::string_view::npos) __builtin_trap(); // a bare CR
        if (line == ".") __builtin_trap();                                // would end the DATA early
        if (inHeaders) {
            if (line.empty()) {
                inHeaders = false;
            } else if (line[0] != ' ' && line[0] != '\t') {
                const std::size_t colon = line.find(':');
                if (colon == 0 || colon == std::string_view::npos) __builtin_trap();
                for (std::size_t i = 0; i < colon; ++i)
                    if (!IsFieldNameChar(line[i])) __builtin_trap();
                sawLastField |= line.substr(0, colon) == "X-Library";
            }
        }
        start = lf + 1;
    }
    // A line break smuggled into a field would have ended the header block early.
    if (inHeaders || !sawLastField) __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    TIdMessage message;
    message.Date = TTimePoint(std::chrono::seconds(1700000000));
    message.ContentType = "text/html";
    message.CharSet = "gb2312";
    try {
        message.From.SetText(input.ConsumeRandomLengthString(200));
        message.Recipients.SetAddressesText(input.ConsumeRandomLengthString(300));
        message.CCList.SetAddressesText(input.ConsumeRandomLengthString(300));
    } catch (const EIdEmailParseError&) {
        return 0;
    }
    message.Subject = input.ConsumeRandomLengthString(300);
    const bool attach = input.ConsumeBool();
    while (input.remaining_bytes() > 0 && message.Body.size() < 50) message.Body.push_back(input.ConsumeRandomLengthString(200));
    if (attach) message.Parts.AddAttachment(AttachmentPath());
    TCapture capture;
    try {
        message.WriteMessage(capture);
    } catch (const EIdInvalidAddress&) {
        if (!capture.Bytes.empty()) __builtin_trap(); // refused before anything was written
        return 0;
    }
    CheckWire(capture.Bytes);
    return 0;
}
