#pragma once
// The SMTP client as the settings describe it, and the test mail that lets an
// administrator try those settings before the night.
#include <functional>

#include "mail/IdSMTP.h"
#include "settings/MailSettings.h"

// An SmtpSecurity value the program does not know. Raised rather than guessed:
// a mistyped "starttls" must not quietly allow plain text.
class ESmtpSettingsError : public EIdException {
public:
    using EIdException::EIdException;
};

// The activity log's line when auto security stays in plain text.
inline constexpr const char* PlainTextWarning = "警告：邮件服务器不支持加密连接"; // UTF-8

// Host, port, login (none with an empty user name), security, certificate
// checks and extra CAs; the client must not be connected.
void ApplyMailServerSettings(TIdSMTP& smtp, const TMailServerSettings& values);

// Sends the test mail ("Quorvel 测试邮件", one body line) with `values` to
// `to`, or to the sender's own address when `to` is empty, and says QUIT.
// Returns the address it went to; errors are raised. `onPlainText` (optional)
// is called when auto security had to stay in plain text.
AnsiString SendTestMail(const TMailServerSettings& values, const AnsiString& to, int readTimeoutMs,
                        const std::function<void()>& onPlainText = {});
