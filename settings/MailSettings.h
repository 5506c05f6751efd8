#pragma once
// The one SMTP server of the program, as section Option of config.ini holds it.
// Nothing is cached: every read goes to the file, so a change saved in the
// settings dialog applies from the next mail on.
#include <cstdint>
#include <string_view>

#include "platform/AnsiString.h"
#include "platform/Exception.h"
#include "platform/SettingsAccessor.h"

// The values of the section: texts as typed, the password in plain text.
// SmtpVerify and SmtpCAFile are kept in the file only; the dialog neither shows
// nor writes them.
struct TMailServerSettings {
    AnsiString SmtpServer;
    AnsiString SmtpName;
    AnsiString SmtpPort = "25";
    AnsiString SmtpUser;
    AnsiString SmtpPass;
    AnsiString SmtpSecurity = "auto"; // auto, starttls, tls or none, as stored
    bool SmtpVerify = true;
    AnsiString SmtpCAFile;
    AnsiString ArchivePass; // empty: archives are not encrypted
};

// A value of section Option that the program cannot use as it stands.
class ESettingsError : public Exception {
public:
    using Exception::Exception;
};

class TMailSettings {
public:
    static constexpr const char* Section = "Option";
    static constexpr int DefaultPort = 25;

    // The accessor must outlive this object; its Path names config.ini.
    explicit TMailSettings(const TSettingsAccessor& accessor) : accessor_(&accessor) {}

    AnsiString SmtpServer() const;
    AnsiString SmtpName() const;
    AnsiString SmtpUser() const;
    AnsiString SmtpPortText() const; // as stored, "25" when missing
    AnsiString SmtpSecurity() const; // as stored, "auto" when missing
    // Certificate checks: off only for a stored "0".
    bool SmtpVerify() const;
    AnsiString SmtpCAFile() const;
    // The stored password deciphered; EConvertError when it is no cipher text.
    AnsiString SmtpPassword() const;
    // The port a connection uses: the stored one when it is a whole number from
    // 1 to 65535, otherwise 25.
    int SmtpPort() const { return ApplicablePort(SmtpPortText()); }
    static int ApplicablePort(std::string_view text);

    // The archiver to use, as stored: auto (rar when found, else quorvelzip),
    // rar or zip; "auto" when missing. File only.
    AnsiString Archiver() const;
    // The archive password deciphered (same cipher and key as the SMTP
    // password); empty: no encryption. EConvertError when it is no cipher text.
    AnsiString ArchivePassword() const;
    // Stores `plain` enciphered afresh; an empty password stores an empty value.
    void SetArchivePassword(const AnsiString& plain) const;
    // MaxMailSize, the largest mail in bytes (the setting is in megabytes of
    // 1 048 576 bytes); 0: no limit of ours. A value that is no whole number
    // raises ESettingsError rather than quietly mailing without a limit.
    std::uint64_t MaxMailSize() const;
    static std::uint64_t MaxMailSizeFromText(std::string_view text);

    // All of them, in the dialog's reading order. The passwords are deciphered;
    // one that fails stays empty, the others are still filled, and the first
    // error is raised at the end.
    void Load(TMailServerSettings& into) const;
    // Writes server, sender, port, user, the password enciphered afresh, the
    // security choice, then the archive password enciphered afresh. A write
    // that fails raises "Unable to write to %s"; later keys stay unwritten.
    void Save(const TMailServerSettings& values) const;

private:
    AnsiString Read(const char* key, const AnsiString& defaultValue = AnsiString()) const;

    const TSettingsAccessor* accessor_;
};
