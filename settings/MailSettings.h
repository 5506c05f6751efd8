#pragma once
// The one SMTP server of the program, as section Option of config.ini holds it.
// Nothing is cached: every read goes to the file, so a change saved in the
// settings dialog applies from the next mail on.
#include <string_view>

#include "platform/AnsiString.h"
#include "platform/SettingsAccessor.h"

// The five values of the section as the dialog shows them: texts as typed, the
// password in plain text.
struct TMailServerSettings {
    AnsiString SmtpServer;
    AnsiString SmtpName;
    AnsiString SmtpPort = "25";
    AnsiString SmtpUser;
    AnsiString SmtpPass;
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
    // The stored password deciphered; EConvertError when it is no cipher text.
    AnsiString SmtpPassword() const;
    // The port a connection uses: the stored one when it is a whole number from
    // 1 to 65535, otherwise 25.
    int SmtpPort() const { return ApplicablePort(SmtpPortText()); }
    static int ApplicablePort(std::string_view text);

    // All five, in the dialog's reading order. The password is deciphered; when
    // that fails the other four are still filled and the error is raised.
    void Load(TMailServerSettings& into) const;
    // Writes server, sender, port, user, then the password enciphered afresh.
    // A write that fails raises "Unable to write to %s"; later keys stay unwritten.
    void Save(const TMailServerSettings& values) const;

private:
    AnsiString Read(const char* key, const AnsiString& defaultValue = AnsiString()) const;

    const TSettingsAccessor* accessor_;
};
