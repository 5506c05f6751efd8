#pragma once
// The parts of a message: text parts and file attachments, in order.
#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

#include "mail/IdHeaderList.h"
#include "platform/AnsiString.h"
#include "platform/Exception.h"

class TIdWriter;

// An attachment's file that fails while it is read.
class EReadError : public Exception {
public:
    using Exception::Exception;
};

class TIdMessagePart {
public:
    virtual ~TIdMessagePart() = default;

    AnsiString ContentType;
    AnsiString ContentTransfer; // Content-Transfer-Encoding
    TIdHeaderList ExtraHeaders;
};

// A text part. With at most one of them the message's own Body is what is sent.
class TIdText : public TIdMessagePart {
public:
    std::vector<AnsiString> Body;
};

// A file sent as a part, streamed from SourcePath when the body reaches it.
class TIdAttachment : public TIdMessagePart {
public:
    explicit TIdAttachment(AnsiString sourcePath);

    AnsiString ContentDisposition;
    AnsiString FileName;   // the file's name without folder
    AnsiString SourcePath; // the file whose bytes are sent

    // Fills in the defaults the part header is written with: base64, attachment,
    // application/octet-stream.
    void ApplyDefaults();
    // Opens SourcePath and writes its bytes as base64 lines of 76 characters,
    // each followed by CR LF. Raises EFOpenError when the file cannot be opened,
    // EReadError when reading fails.
    void EncodeAttachment(TIdWriter& writer) const;
};

class TIdMessageParts {
public:
    // The encoder the parts are written with.
    static constexpr std::string_view MessageEncoderName = "MIME";

    std::size_t Count() const { return FItems.size(); }
    bool Empty() const { return FItems.empty(); }
    TIdMessagePart& operator[](std::size_t index) { return *FItems[index]; }
    const TIdMessagePart& operator[](std::size_t index) const { return *FItems[index]; }

    // Creates an attachment for the file at `sourcePath` at the end of the parts.
    TIdAttachment& AddAttachment(AnsiString sourcePath);
    TIdText& AddText();
    void Clear() { FItems.clear(); }

    // The counts the encoder chooses the message's shape by (TallyParts).
    struct TTally {
        std::size_t TextParts = 0;
        std::size_t Attachments = 0;
        std::size_t RelatedParts = 0; // attachments with a non-empty Content-ID
    };
    TTally TallyParts() const;

private:
    std::vector<std::unique_ptr<TIdMessagePart>> FItems;
};
