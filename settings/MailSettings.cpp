#include "settings/MailSettings.h"

#include <exception>

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

AnsiString TMailSettings::Archiver() const { return Read("Archiver", "auto"); }
AnsiString TMailSettings::ArchivePassword() const {
    return CipherText(Read("ArchivePass"), SmtpPasswordKey, false);
}
void TMailSettings::SetArchivePassword(const AnsiString& plain) const {
    accessor_->WriteString(Section, "ArchivePass", CipherText(plain, SmtpPasswordKey, true));
}

std::uint64_t TMailSettings::MaxMailSizeFromText(std::string_view text) {
    const std::string_view trimmed = Trim(text);
    if (trimmed.empty()) return 0;
    std::uint64_t megabytes = 0;
    for (char c : trimmed) {
        // Up to a million megabytes, a terabyte: far beyond any mail server.
        if (c < '0' || c > '9' || megabytes > 1000000)
            throw ESettingsError("MaxMailSize in section Option must be a whole number of megabytes (0: no limit): " +
                                 AnsiString(text));
        megabytes = megabytes * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (megabytes > 1000000)
        throw ESettingsError("MaxMailSize in section Option must be a whole number of megabytes (0: no limit): " +
                             AnsiString(text));
    return megabytes * 1024 * 1024;
}

std::uint64_t TMailSettings::MaxMailSize() const { return MaxMailSizeFromText(Read("MaxMailSize", "0")); }

void TMailSettings::Load(TMailServerSettings& into) const {
    into.SmtpServer = SmtpServer();
    into.SmtpName = SmtpName();
    into.SmtpPort = SmtpPortText();
    into.SmtpUser = SmtpUser();
    into.SmtpSecurity = SmtpSecurity();
    into.SmtpVerify = SmtpVerify();
    into.SmtpCAFile = SmtpCAFile();
    into.SmtpPass.clear();
    into.ArchivePass.clear();
    std::exception_ptr firstError;
    try {
        into.SmtpPass = SmtpPassword();
    } catch (...) {
        firstError = std::current_exception();
    }
    try {
        into.ArchivePass = ArchivePassword();
    } catch (...) {
        if (!firstError) firstError = std::current_exception();
    }
    if (firstError) std::rethrow_exception(firstError);
}

void TMailSettings::Save(const TMailServerSettings& values) const {
    accessor_->WriteString(Section, "SmtpServer", values.SmtpServer);
    accessor_->WriteString(Section, "SmtpName", values.SmtpName);
    accessor_->WriteString(Section, "SmtpPort", values.SmtpPort);
    accessor_->WriteString(Section, "SmtpUser", values.SmtpUser);
    accessor_->WriteString(Section, "SmtpPass", CipherText(values.SmtpPass, SmtpPasswordKey, true));
    accessor_->WriteString(Section, "SmtpSecurity", values.SmtpSecurity);
    SetArchivePassword(values.ArchivePass);
}
