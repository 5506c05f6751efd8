#include "mail/IdSMTP.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <exception>

#include "mail/IdCoderMIME.h"
#include "mail/IdHeaderList.h"
#include "mail/IdIOHandlerTLS.h"
#include "mail/IdMessage.h"
#include "platform/Exception.h"

namespace {
AnsiString Megabytes(std::uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    return text;
}

bool HasScheme(const std::vector<AnsiString>& schemes, const char* name) {
    return std::any_of(schemes.begin(), schemes.end(), [&](const AnsiString& scheme) { return SameText(scheme, name); });
}
} // namespace

namespace {
constexpr std::pair<const char*, TSmtpSecurity> SecurityNames[] = {
    {"auto", ssAuto}, {"starttls", ssStartTLS}, {"tls", ssImplicitTLS}, {"none", ssNone}};
} // namespace

const char* SmtpSecurityName(TSmtpSecurity security) {
    for (const auto& [name, value] : SecurityNames)
        if (value == security) return name;
    return "auto";
}

bool SmtpSecurityFromText(std::string_view text, TSmtpSecurity& security) {
    const auto& names = SecurityNames;
    text = Trim(text);
    for (const auto& [name, value] : names)
        if (SameText(text, name)) {
            security = value;
            return true;
        }
    return false;
}

EIdMessageTooLarge::EIdMessageTooLarge(std::uint64_t size, std::uint64_t limit)
    : EIdException(""), Size(size), Limit(limit) {
    AnsiString sizeText = Megabytes(size), limitText = Megabytes(limit);
    // Sizes that round alike would read as no excess at all.
    if (sizeText == limitText) {
        sizeText = std::to_string(size) + " B";
        limitText = std::to_string(limit) + " B";
    }
    Message = Utf8ToAnsi("邮件大小 ") + sizeText + Utf8ToAnsi(" 超过邮件服务器的限制 ") + limitText;
}

TIdSMTP::TIdSMTP() { Port = 25; }

// Closing without QUIT: a destructor must not block on or fail with the network.
TIdSMTP::~TIdSMTP() = default;

void TIdSMTP::SetAuthenticationType(TAuthenticationType value) {
    FAuthenticationType = value;
    if (value == atLogin) FUseEhlo = true;
}

void TIdSMTP::SetUseEhlo(bool value) {
    FUseEhlo = value;
    if (!value) FAuthenticationType = atNone;
}

std::vector<AnsiString> TIdSMTP::ParseAuthSchemes(const std::vector<AnsiString>& replyText) {
    std::vector<AnsiString> schemes;
    for (const AnsiString& line : replyText) {
        AnsiString upper = AnsiUpperCase(line);
        if (upper.size() < 5 || (upper.compare(0, 5, "AUTH ") != 0 && upper.compare(0, 5, "AUTH=") != 0)) continue;
        // From the separator on: its leading blank makes the first entry empty.
        AnsiString rest = upper.substr(4);
        std::replace(rest.begin(), rest.end(), '=', ' ');
        while (!rest.empty()) {
            std::size_t space = rest.find(' ');
            AnsiString scheme = rest.substr(0, space);
            rest = space == AnsiString::npos ? AnsiString() : rest.substr(space + 1);
            if (std::find(schemes.begin(), schemes.end(), scheme) == schemes.end()) schemes.push_back(scheme);
        }
    }
    return schemes;
}

bool TIdSMTP::ParseSizeLine(std::string_view line, std::uint64_t& limit) {
    limit = 0;
    line = Trim(line);
    if (line.size() < 4 || !SameText(line.substr(0, 4), "SIZE")) return false;
    if (line.size() == 4) return true;
    if (line[4] != ' ') return false;
    std::string_view number = Trim(line.substr(5));
    std::uint64_t value = 0;
    auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (ec == std::errc() && end == number.data() + number.size()) limit = value;
    return true;
}

TSmtpExtensions TIdSMTP::ParseExtensions(const std::vector<AnsiString>& replyText) {
    TSmtpExtensions extensions;
    extensions.AuthSchemes = ParseAuthSchemes(replyText);
    // The first line names the server; keywords start on the second.
    for (std::size_t i = 1; i < replyText.size(); ++i) {
        const std::string_view line = Trim(replyText[i]);
        if (SameText(line, "STARTTLS")) extensions.StartTLS = true;
        std::uint64_t limit = 0;
        if (ParseSizeLine(line, limit)) {
            extensions.Size = true;
            extensions.MaxMessageSize = limit;
        }
    }
    return extensions;
}

bool TIdSMTP::Encrypted() const {
    const auto* tls = dynamic_cast<const TIdIOHandlerTLS*>(FIOHandler.get());
    return tls && tls->TLSActive() && tls->Connected();
}

bool TIdSMTP::ImplicitTLS() const { return Security == ssImplicitTLS || (Security == ssAuto && Port == 465); }

void TIdSMTP::HandshakeTLS() {
    auto* tls = dynamic_cast<TIdIOHandlerTLS*>(FIOHandler.get());
    if (!tls) throw EIdTLSNotAvailable("TLS is required, but this connection has no TLS layer");
    tls->VerifyPeer = VerifyCertificate;
    tls->CAFile = CAFile;
    tls->StartTLS(Host, ReadTimeout);
}

void TIdSMTP::Greet(const AnsiString& name) {
    AuthSchemes.clear();
    SizeOffered = StartTLSOffered = false;
    MaxMessageSize = 0;
    if (FUseEhlo && SendCommand("EHLO " + name, {-1}) == 250) {
        TSmtpExtensions extensions = ParseExtensions(LastReply.Text);
        AuthSchemes = std::move(extensions.AuthSchemes);
        SizeOffered = extensions.Size;
        MaxMessageSize = extensions.MaxMessageSize;
        StartTLSOffered = extensions.StartTLS;
        return;
    }
    SendCommand("HELO " + name, {250});
}

void TIdSMTP::Connect(int timeoutMs) {
    FPlainTextByChoice = false;
    if (!FIOHandler && Security != ssNone) {
        FIOHandler = std::make_unique<TIdIOHandlerTLS>(Stack());
        FFreeIOHandlerOnDisconnect = true;
    }
    TIdTCPClient::Connect(timeoutMs);
    try {
        if (ImplicitTLS()) HandshakeTLS();
        GetReply({220});
        const AnsiString name = HeloName.empty() ? LocalHostName() : HeloName;
        Greet(name);
        if (!Encrypted() && (Security == ssAuto || Security == ssStartTLS)) {
            if (StartTLSOffered) {
                SendCommand("STARTTLS", {220});
                // Bytes that came with the 220 were sent before TLS began, by the
                // server or by someone in between; taking them as replies after
                // the handshake would let plain text pose as protected.
                if (InputBufferSize() != 0)
                    throw EIdTLSError("TLS error: the server sent data after its STARTTLS answer");
                HandshakeTLS();
                Greet(name);
            } else if (Security == ssStartTLS) {
                throw EIdTLSNotAvailable("The mail server does not offer STARTTLS, which the settings require");
            } else {
                FPlainTextByChoice = true;
            }
        }
    } catch (...) {
        std::exception_ptr error = std::current_exception();
        try {
            Disconnect();
        } catch (...) {
            // The greeting's error is the one the caller needs to see.
        }
        std::rethrow_exception(error);
    }
}

void TIdSMTP::Disconnect() {
    std::exception_ptr error;
    try {
        if (Connected()) WriteLine("QUIT");
    } catch (...) {
        error = std::current_exception();
    }
    TIdTCPClient::Disconnect();
    Authenticated = false;
    if (error) std::rethrow_exception(error);
}

bool TIdSMTP::LoginOffered(TAuthenticationType type) const {
    if (type != atLogin) return false;
    return HasScheme(AuthSchemes, "LOGIN");
}

void TIdSMTP::Authenticate() {
    if (FAuthenticationType == atLogin) {
        if (HasScheme(AuthSchemes, "LOGIN") || !HasScheme(AuthSchemes, "PLAIN")) {
            SendCommand("AUTH LOGIN", {334});
            SendCommand(EncodeBase64(Username), {334});
            SendCommand(EncodeBase64(Password), {235});
        } else {
            // The initial response of RFC 4616: no authorisation identity, the
            // user and the password, each after a NUL.
            AnsiString response;
            response.append(1, '\0').append(Username).append(1, '\0').append(Password);
            SendCommand("AUTH PLAIN " + EncodeBase64(response), {235});
        }
    }
    Authenticated = true;
}

namespace {
// Reads "now" once for the message's Date, so that the size counted before the
// envelope is the size of the bytes sent after it; undone when the send ends.
class TDatePin {
public:
    explicit TDatePin(TIdMessage& message) : FMessage(message), FPinned(message.UseNowForDate()) {
        if (FPinned) FMessage.Date = SystemClock().Now();
    }
    ~TDatePin() {
        if (FPinned) FMessage.Date = {};
    }
    TDatePin(const TDatePin&) = delete;
    TDatePin& operator=(const TDatePin&) = delete;

private:
    TIdMessage& FMessage;
    bool FPinned;
};
} // namespace

void TIdSMTP::Send(TIdMessage& message) {
    CheckAddresses(message); // before the first command of the transaction
    SetHeader(message.ExtraHeaders, "X-Mailer", MailAgent);
    AnsiString mailFrom = "MAIL FROM:<" + message.From.Address + ">";
    TDatePin pin(message);
    if (SizeOffered) {
        // Checked before the envelope: nothing of an oversized message is sent.
        const std::uint64_t size = EncodedMessageSize(message);
        if (MaxMessageSize > 0 && size > MaxMessageSize) throw EIdMessageTooLarge(size, MaxMessageSize);
        mailFrom += " SIZE=" + std::to_string(size);
    }
    SendCommand("RSET", {-1});
    const bool offered = LoginOffered(FAuthenticationType) || (FAuthenticationType == atLogin && HasScheme(AuthSchemes, "PLAIN"));
    if (FAuthenticationType != atNone && !Username.empty() && offered && !Authenticated) Authenticate();
    SendCommand(mailFrom, {250});
    for (const TIdEMailAddressList* list : {&message.Recipients, &message.CCList, &message.BccList})
        for (std::size_t i = 0; i < list->Count(); ++i) SendCommand("RCPT TO:<" + (*list)[i].Address + ">", {250, 251});
    SendCommand("DATA", {354});
    message.WriteMessage(*this);
    SendCommand(".", {250});
}
