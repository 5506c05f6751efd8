#include "mail/IdMessage.h"

#include "mail/IdReply.h"
#include "mail/IdWriter.h"

namespace {

void WriteLine(TIdWriter& writer, std::string_view line) {
    AnsiString bytes(line);
    bytes += "\r\n";
    writer.Write(bytes);
}

// A file name inside a quoted parameter; a CR or LF would end the header line.
AnsiString ParameterText(std::string_view name) {
    AnsiString out(name);
    for (char& c : out)
        if (c == '\r' || c == '\n') c = ' ';
    return out;
}

// Checked before anything is written, so a message of a shape this encoder does not
// write fails without leaving half a message on the connection.
void CheckShape(const TIdMessage& message) {
    const TIdMessageParts::TTally tally = message.Parts.TallyParts();
    if (tally.TextParts > 1) throw EIdMessageException("A message with several text parts cannot be written");
    if (tally.RelatedParts > 0) throw EIdMessageException("A message with related parts cannot be written");
    for (std::size_t i = 0; i < message.Parts.Count(); ++i) {
        const auto* attachment = dynamic_cast<const TIdAttachment*>(&message.Parts[i]);
        if (attachment && !attachment->ContentTransfer.empty() && attachment->ContentTransfer != "base64")
            throw EIdMessageException(
                Format("Attachment \"%s\": only base64 transfer encoding is written", attachment->FileName.c_str()));
    }
}

void CheckAddress(const TIdEMailAddressItem& item) {
    for (const AnsiString* text : {&item.Address, &item.Name})
        if (text->find_first_of(std::string_view("\r\n\0", 3)) != AnsiString::npos)
            throw EIdInvalidAddress("Address holds a line break or NUL byte: " + QuotedForMessage(item.Text()));
}

} // namespace

void CheckAddresses(const TIdMessage& message) {
    for (const TIdEMailAddressItem* item : {&message.From, &message.Sender, &message.ReceiptRecipient}) CheckAddress(*item);
    for (const TIdEMailAddressList* list : {&message.Recipients, &message.CCList, &message.BccList, &message.ReplyTo})
        for (std::size_t i = 0; i < list->Count(); ++i) CheckAddress((*list)[i]);
}

void WriteBodyLines(TIdWriter& writer, const std::vector<AnsiString>& lines) {
    AnsiString out;
    for (const AnsiString& line : lines) {
        std::size_t start = 0;
        while (true) {
            const std::size_t end = line.find_first_of("\r\n", start);
            const std::string_view piece = std::string_view(line).substr(start, end == AnsiString::npos ? AnsiString::npos : end - start);
            out.clear();
            if (!piece.empty() && piece[0] == '.') out += '.';
            out += piece;
            out += "\r\n";
            writer.Write(out);
            if (end == AnsiString::npos) break;
            start = end + (line.compare(end, 2, "\r\n") == 0 ? 2 : 1);
        }
    }
}

const char* TIdMessage::Boundary(const TIdMessageParts::TTally& tally) const {
    return tally.RelatedParts > 0 ? RelatedBoundary : MixedBoundary;
}

TIdHeaderList TIdMessage::BuildHeaders() {
    CheckAddresses(*this);
    const TIdMessageParts::TTally tally = Parts.TallyParts();
    if (tally.RelatedParts > 0)
        ContentType = AnsiString("multipart/related; type=\"multipart/alternative\"; boundary=\"") + RelatedBoundary + "\"";
    else if (tally.Attachments > 0)
        ContentType = AnsiString("multipart/mixed; boundary=\"") + MixedBoundary + "\"";
    else if (tally.TextParts > 0)
        ContentType = AnsiString("multipart/alternative; boundary=\"") + MixedBoundary + "\"";
    // The charset goes into the field only: appending it to ContentType itself would
    // add it once more on every build of a message without parts.
    AnsiString contentType = ContentType;
    if (!CharSet.empty()) {
        const AnsiString parameter = "charset=\"" + CharSet + "\"";
        contentType = contentType.empty() ? parameter : contentType + ";\r\n\t" + parameter;
    }
    // Read before any field is made, so a time zone failure writes nothing.
    const AnsiString date = InternetDate(UseNowForDate() ? SystemClock().Now() : Date);

    TIdHeaderList headers = Headers;
    headers.SetHeader("From", RenderAddressItem(From, HeaderCharset));
    headers.SetHeader("Subject", EncodeHeaderText(Subject, "", HeaderCharset));
    headers.SetHeader("To", RenderAddressList(Recipients, HeaderCharset));
    headers.SetHeader("Cc", RenderAddressList(CCList, HeaderCharset));
    AnsiString newsGroups;
    for (std::size_t i = 0; i < NewsGroups.size(); ++i) newsGroups += (i > 0 ? "," : "") + NewsGroups[i];
    headers.SetHeader("Newsgroups", newsGroups);
    headers.SetHeader("Content-Type", contentType);
    headers.SetHeader("MIME-Version", Parts.Empty() ? "" : "1.0");
    headers.SetHeader("Content-Transfer-Encoding", ContentTransferEncoding);
    headers.SetHeader("Sender", Sender.Text());
    headers.SetHeader("Reply-To", RenderAddressList(ReplyTo, HeaderCharset));
    headers.SetHeader("Organization", EncodeHeaderText(Organization, "", HeaderCharset));
    headers.SetHeader("Disposition-Notification-To", RenderAddressItem(ReceiptRecipient, HeaderCharset));
    headers.SetHeader("References", References);
    headers.SetHeader("Date", date);
    headers.SetHeader("X-Priority", std::to_string(static_cast<int>(Priority) + 1));
    headers.SetHeader("X-Library", LibraryName);
    for (const AnsiString& line : ExtraHeaders.Lines()) headers.Add(line);
    return headers;
}

void TIdMessage::WriteHeaders(TIdWriter& writer) {
    const TIdHeaderList headers = BuildHeaders();
    for (const AnsiString& line : headers.Lines()) WriteLine(writer, line);
}

void TIdMessage::WriteBody(TIdWriter& writer) {
    CheckShape(*this);
    const TIdMessageParts::TTally tally = Parts.TallyParts();
    if (tally.Attachments == 0) {
        WriteBodyLines(writer, Body);
        return;
    }
    const AnsiString boundaryLine = AnsiString("--") + Boundary(tally);
    WriteLine(writer, "This is a multi-part message in MIME format");
    WriteLine(writer, "");
    WriteLine(writer, boundaryLine);
    // The body lines are in the message's charset: without the parameter a
    // reader takes them for US-ASCII and shows Chinese lines as garbage.
    WriteLine(writer, CharSet.empty() ? AnsiString("Content-Type: text/plain")
                                      : "Content-Type: text/plain; charset=\"" + CharSet + "\"");
    WriteLine(writer, "Content-Transfer-Encoding: 7bit");
    WriteLine(writer, "");
    WriteBodyLines(writer, Body);

    for (std::size_t i = 0; i < Parts.Count(); ++i) {
        auto* attachment = dynamic_cast<TIdAttachment*>(&Parts[i]);
        if (!attachment) continue;
        WriteLine(writer, "");
        WriteLine(writer, boundaryLine);
        attachment->ApplyDefaults();
        const AnsiString fileName = ParameterText(attachment->FileName);
        WriteLine(writer, "Content-Type: " + attachment->ContentType + ";");
        WriteLine(writer, "        name=\"" + fileName + "\"");
        WriteLine(writer, "Content-Transfer-Encoding: " + attachment->ContentTransfer);
        WriteLine(writer, "Content-Disposition: " + attachment->ContentDisposition + ";");
        WriteLine(writer, "        filename=\"" + fileName + "\"");
        for (const AnsiString& line : attachment->ExtraHeaders.Lines()) WriteLine(writer, line);
        WriteLine(writer, "");
        writer.Flush();
        attachment->EncodeAttachment(writer);
        WriteLine(writer, "");
    }
    WriteLine(writer, boundaryLine + "--");
}

namespace {
class TCountingWriter : public TIdWriter {
public:
    void Write(std::string_view bytes) override { Count += bytes.size(); }
    bool CountsOnly() const override { return true; }
    void Skip(std::uint64_t bytes) override { Count += bytes; }
    std::uint64_t Count = 0;
};
} // namespace

std::uint64_t EncodedMessageSize(TIdMessage& message) {
    TCountingWriter counter;
    message.WriteMessage(counter);
    return counter.Count;
}

void TIdMessage::WriteMessage(TIdWriter& writer) {
    CheckShape(*this);
    WriteHeaders(writer);
    WriteLine(writer, "");
    WriteBody(writer);
}
