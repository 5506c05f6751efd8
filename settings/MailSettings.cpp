#include "settings/MailSettings.h"

#include "platform/Exception.h"
#include "settings/StringCipher.h"

AnsiString TMailSettings::Read(const char* key, const AnsiString& defaultValue) const {
    return accessor_->ReadString(Section, key, defaultValue);
}

AnsiString TMailSettings::SmtpServer() const { return Read("SmtpServer"); }
AnsiString TMailSettings::SmtpName() const { return Read("SmtpName"); }
AnsiString TMailSettings::SmtpUser() const { return Read("SmtpUser"); }
AnsiString TMailSettings::SmtpPortText() const { return Read("SmtpPort", "25"); }
AnsiString TMailSettings::SmtpSecurity() const { return Read("SmtpSecurity", "auto"); }
bool TMailSettings::SmtpVerify() const {
    const AnsiString value = Read("SmtpVerify", "1");
    return Trim(value) != "0";
}
AnsiString TMailSettings::SmtpCAFile() const { return Read("SmtpCAFile"); }
AnsiString TMailSettings::SmtpPassword() const { return CipherText(Read("SmtpPass"), SmtpPasswordKey, false); }

int TMailSettings::ApplicablePort(std::string_view text) {
    text = Trim(text);
    if (text.empty() || text.size() > 5) return DefaultPort;
    int port = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return DefaultPort;
        port = port * 10 + (c - '0');
    }
    return port >= 1 && port <= 65535 ? port : DefaultPort;
}

void TMailSettings::Load(TMailServerSettings& into) const {
    into.SmtpServer = SmtpServer();
    into.SmtpName = SmtpName();
    into.SmtpPort = SmtpPortText();
    into.SmtpUser = SmtpUser();
    into.SmtpSecurity = SmtpSecurity();
    into.SmtpVerify = SmtpVerify();
    into.SmtpCAFile = SmtpCAFile();
    into.SmtpPass.clear();
    into.SmtpPass = SmtpPassword();
}

void TMailSettings::Save(const TMailServerSettings& values) const {
    accessor_->WriteString(Section, "SmtpServer", values.SmtpServer);
    accessor_->WriteString(Section, "SmtpName", values.SmtpName);
    accessor_->WriteString(Section, "SmtpPort", values.SmtpPort);
    accessor_->WriteString(Section, "SmtpUser", values.SmtpUser);
    accessor_->WriteString(Section, "SmtpPass", CipherText(values.SmtpPass, SmtpPasswordKey, true));
    accessor_->WriteString(Section, "SmtpSecurity", values.SmtpSecurity);
}
