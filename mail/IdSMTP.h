#pragma once
// The SMTP client: greeting with EHLO (HELO when refused), AUTH LOGIN, sending
// one message per Send (RSET, MAIL FROM, RCPT TO, DATA, the message, "."), and
// QUIT on Disconnect. Every failure is raised; nothing is retried.
//
// TLS: implicit (the handshake right after the TCP connect) or STARTTLS after the
// first EHLO, then a second EHLO whose reply alone counts. Once TLS has been
// tried, a failure is an error: nothing falls back to plain text.
#include <cstdint>
#include <string>
#include <vector>

#include "mail/IdTCPConnection.h"

class TIdMessage;

enum TAuthenticationType { atNone, atLogin };

// auto: implicit TLS on port 465, else STARTTLS whenever offered, plain when not;
// starttls: STARTTLS or an error (no login without it); tls: implicit TLS;
// none: never TLS.
enum TSmtpSecurity { ssAuto, ssStartTLS, ssImplicitTLS, ssNone };

// "auto", "starttls", "tls", "none" (any case, blanks around ignored); false
// for any other text.
bool SmtpSecurityFromText(std::string_view text, TSmtpSecurity& security);
// The stored name of a choice: "auto", "starttls", "tls" or "none".
const char* SmtpSecurityName(TSmtpSecurity security);

// What an EHLO reply offers that this client uses.
struct TSmtpExtensions {
    std::vector<AnsiString> AuthSchemes; // as TIdSMTP::ParseAuthSchemes reads them
    bool StartTLS = false;
    bool Size = false;                   // the SIZE keyword, with or without a number
    std::uint64_t MaxMessageSize = 0;    // its number; 0 when none or not a number
};

// The message is larger than the server's SIZE limit; raised before MAIL FROM.
class EIdMessageTooLarge : public EIdException {
public:
    EIdMessageTooLarge(std::uint64_t size, std::uint64_t limit);
    std::uint64_t Size;
    std::uint64_t Limit;
};

// Security asks for TLS that this connection cannot have (the server offers no
// STARTTLS, or a handler without TLS was set).
class EIdTLSNotAvailable : public EIdException {
public:
    using EIdException::EIdException;
};

class TIdSMTP : public TIdTCPClient {
public:
    TIdSMTP();
    ~TIdSMTP() override;

    // Opens the connection and greets the server. A failure of the greeting sends
    // QUIT, closes and raises the error again.
    void Connect(int timeoutMs = -1) override;
    // QUIT when connected, then close, also when the QUIT cannot be written (that
    // error is raised after the close).
    void Disconnect() override;
    // Sends one message over the open connection, logging in first when needed.
    // An address (or display name) holding CR, LF or NUL raises EIdInvalidAddress
    // before anything is sent.
    void Send(TIdMessage& message);
    // atLogin: the server offers LOGIN. Send also logs in when only PLAIN is offered.
    bool LoginOffered(TAuthenticationType type) const;
    // AUTH LOGIN when offered (or when neither is), otherwise AUTH PLAIN.
    void Authenticate();

    // Setting atLogin also sets UseEhlo; clearing UseEhlo also sets atNone.
    TAuthenticationType AuthenticationType() const { return FAuthenticationType; }
    void SetAuthenticationType(TAuthenticationType value);
    bool UseEhlo() const { return FUseEhlo; }
    void SetUseEhlo(bool value);

    // Longest wait for a reply (and for the server to take data), in
    // milliseconds; 0 waits without limit. The same setting as ReadTimeout.
    int ReadTimeoutMs() const { return ReadTimeout; }
    void SetReadTimeoutMs(int value) { ReadTimeout = value; }

    // TLS settings, read by Connect.
    TSmtpSecurity Security = ssAuto;
    bool VerifyCertificate = true;
    std::string CAFile; // file system path of extra trusted CAs; empty: none

    // After Connect: whether the session runs over TLS, and whether auto security
    // had to stay in plain text because the server offers no STARTTLS.
    bool Encrypted() const;
    bool PlainTextByChoice() const { return FPlainTextByChoice; }
    // SIZE of the last EHLO reply; 0 when not offered or without a number.
    std::uint64_t MaxMessageSize = 0;
    bool SizeOffered = false;
    bool StartTLSOffered = false;

    // An empty Username logs in with nothing: no AUTH command is sent.
    AnsiString Username;
    AnsiString Password;
    AnsiString HeloName;  // empty: this computer's host name
    AnsiString MailAgent; // the X-Mailer value; empty writes no such field
    std::vector<AnsiString> AuthSchemes; // login methods of the EHLO reply, upper case
    bool Authenticated = false;

    // The login methods that an EHLO reply's text lines offer, as AuthSchemes holds them.
    static std::vector<AnsiString> ParseAuthSchemes(const std::vector<AnsiString>& replyText);
    // Everything this client reads from an EHLO reply's text lines.
    static TSmtpExtensions ParseExtensions(const std::vector<AnsiString>& replyText);
    // "SIZE", "SIZE 1000": whether the line offers SIZE, and its number (0 when
    // none, not a number, or out of range).
    static bool ParseSizeLine(std::string_view line, std::uint64_t& limit);

private:
    void Greet(const AnsiString& name);
    void HandshakeTLS();
    bool ImplicitTLS() const;

    bool FPlainTextByChoice = false;
    TAuthenticationType FAuthenticationType = atNone;
    bool FUseEhlo = true;
};
