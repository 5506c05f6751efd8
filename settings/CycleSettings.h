#pragma once
// The switches of a backup cycle kept in config.ini beside the mail server:
// verified backups in section Database, the failure notice in section Option.
// Read at every cycle, like the mail settings, so a change applies to the next.
#include "platform/SettingsAccessor.h"

struct TCycleOptions {
    bool BackupChecksum = false;  // ", CHECKSUM" in the backup statement's WITH clause
    bool BackupVerify = false;    // RESTORE VERIFYONLY after each database
    bool NotifyOnFailure = true;  // a failed cycle mails a notice to the task's recipients
    bool operator==(const TCycleOptions&) const = default;
};

class TCycleSettings {
public:
    static constexpr const char* DatabaseSection = "Database";
    static constexpr const char* OptionSection = "Option";

    // The accessor must outlive this object.
    explicit TCycleSettings(const TSettingsAccessor& accessor) : accessor_(&accessor) {}

    // A stored "1" switches a check on; anything else leaves it off.
    bool BackupChecksum() const;
    bool BackupVerify() const;
    // Only a stored "0" turns the notices off, so a mistyped value still mails.
    bool NotifyOnFailure() const;
    TCycleOptions Load() const;

private:
    const TSettingsAccessor* accessor_;
};
