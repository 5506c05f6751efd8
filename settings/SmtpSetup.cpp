#include "settings/SmtpSetup.h"

#include "mail/IdEMailAddress.h"
#include "mail/IdMessage.h"
#include "platform/Exception.h"

void ApplyMailServerSettings(TIdSMTP& smtp, const TMailServerSettings& values) {
    TSmtpSecurity security = ssAuto;
    if (!SmtpSecurityFromText(values.SmtpSecurity, security))
        throw ESmtpSettingsError(Format("SmtpSecurity \"%s\" is not one of auto, starttls, tls, none",
                                        values.SmtpSecurity.c_str()));
    smtp.Host = values.SmtpServer;
    smtp.Port = TMailSettings::ApplicablePort(values.SmtpPort);
    smtp.Username = values.SmtpUser;
    smtp.Password = values.SmtpPass;
    smtp.SetAuthenticationType(atLogin); // no AUTH goes out while Username is empty
    smtp.Security = security;
    smtp.VerifyCertificate = values.SmtpVerify;
    smtp.CAFile = values.SmtpCAFile.empty() ? std::string() : AnsiToUtf8(values.SmtpCAFile);
}

AnsiString SendTestMail(const TMailServerSettings& values, const AnsiString& to, int readTimeoutMs,
                        const std::function<void()>& onPlainText) {
    // Without a server the connect would end in a resolver error that names nothing.
    if (Trim(values.SmtpServer).empty()) throw ESmtpSettingsError("No mail server to send the test mail to: the server address is empty");
    TIdMessage message;
    message.From.SetText(values.SmtpName);
    const AnsiString address = to.empty() ? message.From.Address : to;
    if (address.empty()) throw ESmtpSettingsError("No address to send the test mail to: the sender address is empty");
    message.ContentType = "text/plain";
    message.CharSet = "gb2312";
    message.Subject = Utf8ToAnsi("Quorvel 测试邮件");
    message.Body = {Utf8ToAnsi("这是一封测试邮件。")};
    message.Recipients.SetAddressesText(address);

    TIdSMTP smtp;
    ApplyMailServerSettings(smtp, values);
    smtp.SetReadTimeoutMs(readTimeoutMs);
    smtp.Connect();
    if (smtp.PlainTextByChoice() && onPlainText) onPlainText();
    smtp.Send(message);
    try {
        smtp.Disconnect();
    } catch (const EIdException&) {
        // The server has taken the mail; how the goodbye went changes nothing.
    }
    return address;
}
