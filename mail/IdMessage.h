#pragma once
// A mail message and its MIME form: the header block, an empty line and the body
// with the text and the base64 attachments, written as it is made.
#include <cstdint>
#include <vector>

#include "mail/IdEMailAddress.h"
#include "mail/IdHeaderCoding.h"
#include "mail/IdHeaderList.h"
#include "mail/IdMessageParts.h"
#include "platform/AnsiString.h"
#include "platform/Clock.h"
#include "platform/IdException.h"

class TIdWriter;

// A message of a shape this encoder does not write.
class EIdMessageException : public EIdException {
public:
    using EIdException::EIdException;
};

enum TIdMessagePriority { mpHighest, mpHigh, mpNormal, mpLow, mpLowest };

class TIdMessage {
public:
    // The fixed boundary of a message with attachments.
    static constexpr const char* MixedBoundary = "=_NextPart_2rfkindysadvnqw3nerasdf";
    static constexpr const char* RelatedBoundary = "=_NextPart_2relrfksadvnqindyw3nerasdf";
    static constexpr const char* LibraryName = "Quorvel Mail 2.2";

    TIdEMailAddressItem From; // its Address is also the envelope sender
    TIdEMailAddressList Recipients;
    TIdEMailAddressList CCList;
    TIdEMailAddressList BccList; // envelope only, never a field
    TIdEMailAddressList ReplyTo;
    TIdEMailAddressItem Sender;
    TIdEMailAddressItem ReceiptRecipient;
    AnsiString Subject;
    AnsiString Organization;
    AnsiString References;
    std::vector<AnsiString> NewsGroups;
    AnsiString ContentType; // replaced by BuildHeaders when the message has parts
    AnsiString CharSet;
    AnsiString ContentTransferEncoding;
    TTimePoint Date{}; // the epoch means "now"
    TIdMessagePriority Priority = mpNormal;
    TIdHeaderList ExtraHeaders; // appended after the generated fields (X-Mailer)
    TIdHeaderList Headers;      // the lines the generated block starts from
    std::vector<AnsiString> Body;
    TIdMessageParts Parts;
    // The header charset; the user locale's choice unless a caller sets another.
    THeaderCharset HeaderCharset = ChooseHeaderCharset();

    bool UseNowForDate() const { return Date == TTimePoint{}; }

    // The header block. Also sets ContentType to the multipart type the parts need,
    // with CharSet as its parameter. Raises EIdFailedToRetreiveTimeZoneInfo, and
    // EIdInvalidAddress (CheckAddresses), before anything is written.
    TIdHeaderList BuildHeaders();
    // Each line of BuildHeaders followed by CR LF.
    void WriteHeaders(TIdWriter& writer);
    // The body: the text, then every attachment as a base64 part.
    void WriteBody(TIdWriter& writer);
    // WriteHeaders, an empty line, WriteBody. The SMTP client sends the final "." itself.
    void WriteMessage(TIdWriter& writer);

private:
    const char* Boundary(const TIdMessageParts::TTally& tally) const;
};

// Raises EIdInvalidAddress when an address or display name of the message holds
// CR, LF or NUL: in an envelope command the rest would reach the server as
// commands of its own, in a header as fields of its own.
void CheckAddresses(const TIdMessage& message);
// The number of bytes WriteMessage writes for `message` (headers, body lines with
// their doubled dots, boundaries, base64 lines), computed without reading the
// attachments: their files are only opened and measured. A Date of "now" is
// read at each call, so pin Date first when the count must match a later write.
// Raises what WriteMessage raises for a message it cannot write.
std::uint64_t EncodedMessageSize(TIdMessage& message);

// Writes the lines of a message text, each followed by CR LF; a line starting
// with "." gets a second one. A CR or LF inside a line also ends it there, so no
// line can reach the wire without its dot doubled.
void WriteBodyLines(TIdWriter& writer, const std::vector<AnsiString>& lines);
