#include "settings/CycleSettings.h"

namespace {

AnsiString Stored(const TSettingsAccessor& accessor, const char* section, const char* key) {
    const AnsiString value = accessor.ReadString(section, key, AnsiString());
    return AnsiString(Trim(value));
}

} // namespace

bool TCycleSettings::BackupChecksum() const { return Stored(*accessor_, DatabaseSection, "BackupChecksum") == "1"; }

bool TCycleSettings::BackupVerify() const { return Stored(*accessor_, DatabaseSection, "BackupVerify") == "1"; }

bool TCycleSettings::NotifyOnFailure() const { return Stored(*accessor_, OptionSection, "NotifyOnFailure") != "0"; }

TCycleOptions TCycleSettings::Load() const { return {BackupChecksum(), BackupVerify(), NotifyOnFailure()}; }
