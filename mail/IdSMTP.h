#pragma once
// The SMTP client: greeting with EHLO (HELO when refused), AUTH LOGIN, sending
// one message per Send (RSET, MAIL FROM, RCPT TO, DATA, the message, "."), and
// QUIT on Disconnect. Every failure is raised; nothing is retried.
#include <vector>

#include "mail/IdTCPConnection.h"

class TIdMessage;

enum TAuthenticationType { atNone, atLogin };

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
    bool LoginOffered(TAuthenticationType type) const;
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

    AnsiString Username;
    AnsiString Password;
    AnsiString HeloName;  // empty: this computer's host name
    AnsiString MailAgent; // the X-Mailer value; empty writes no such field
    std::vector<AnsiString> AuthSchemes; // login methods of the EHLO reply, upper case
    bool Authenticated = false;

    // The login methods that an EHLO reply's text lines offer, as AuthSchemes holds them.
    static std::vector<AnsiString> ParseAuthSchemes(const std::vector<AnsiString>& replyText);

private:
    TAuthenticationType FAuthenticationType = atNone;
    bool FUseEhlo = true;
};
