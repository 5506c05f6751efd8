// The cycle's switches as config.ini holds them: defaults when missing, only
// the documented values change them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "platform/Files.h"
#include "settings/CycleSettings.h"

namespace fs = std::filesystem;

namespace {

struct TSwitchCase {
    const char* Name;
    const char* Ini;
    TCycleOptions Expected;
};

class CycleSwitches : public testing::TestWithParam<TSwitchCase> {};

TEST_P(CycleSwitches, ReadWithTheirDefaults) {
    const fs::path path = fs::temp_directory_path() / ("qcs-" + std::to_string(::getpid()) + ".ini");
    ASSERT_EQ(ReplaceFileContent(path.string(), GetParam().Ini), 0);
    TSettingsAccessor accessor;
    accessor.Path = path.string();
    EXPECT_EQ(TCycleSettings(accessor).Load(), GetParam().Expected);
    fs::remove(path);
}

INSTANTIATE_TEST_SUITE_P(
    Files, CycleSwitches,
    testing::Values(
        TSwitchCase {"Empty", "", {}},
        TSwitchCase {"AllOn", "[Database]\r\nBackupChecksum=1\r\nBackupVerify=1\r\n[Option]\r\nNotifyOnFailure=1\r\n",
                     {.BackupChecksum = true, .BackupVerify = true, .NotifyOnFailure = true}},
        TSwitchCase {"NoticesOff", "[Option]\r\nNotifyOnFailure=0\r\n", {.NotifyOnFailure = false}},
        TSwitchCase {"BlanksAround", "[database]\r\nbackupchecksum= 1 \r\n[option]\r\nnotifyonfailure= 0\r\n",
                     {.BackupChecksum = true, .NotifyOnFailure = false}},
        // A stray value never switches a check on, nor the notices off.
        TSwitchCase {"StrayValues", "[Database]\r\nBackupChecksum=yes\r\nBackupVerify=2\r\n[Option]\r\nNotifyOnFailure=no\r\n",
                     {}},
        TSwitchCase {"WrongSection", "[Option]\r\nBackupChecksum=1\r\nBackupVerify=1\r\n[Database]\r\nNotifyOnFailure=0\r\n",
                     {}}),
    [](const auto& test) { return std::string(test.param.Name); });

} // namespace
