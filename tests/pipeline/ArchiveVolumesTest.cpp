// Volumes of an archive: byte ranges that join back to the archive, written
// whole or not at all, and the part size that keeps each mail within a limit.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "pipeline/ArchiveVolumes.h"
#include "platform/Files.h"

namespace fs = std::filesystem;

namespace {

std::string Slurp(const std::string& path) {
    std::string content;
    ReadWholeFile(path, content);
    return content;
}

std::string Bytes(std::size_t size) {
    std::mt19937 random(7);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    return bytes;
}

class ArchiveVolumesTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("quorvel-volumes-" + std::to_string(::getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        archive_ = (dir_ / "20240506203200.zip").string();
    }
    void TearDown() override {
        fs::permissions(dir_, fs::perms::owner_all);
        fs::remove_all(dir_);
    }
    std::vector<std::string> Listing() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir_)) names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    fs::path dir_;
    std::string archive_;
};

TEST_F(ArchiveVolumesTest, PartsJoinBackToTheArchiveByteForByte) {
    struct Case {
        const char* name;
        std::size_t size, part;
        std::vector<std::size_t> sizes;
    };
    const Case cases[] = {
        {"last part shorter", 10000, 3000, {3000, 3000, 3000, 1000}},
        {"exact multiple: no empty part", 9000, 3000, {3000, 3000, 3000}},
        {"one byte over", 3001, 3000, {3000, 1}},
        {"part as large as the archive", 3000, 3000, {3000}},
        {"empty archive", 0, 3000, {0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string content = Bytes(c.size);
        ASSERT_EQ(ReplaceFileContent(archive_, content), 0);
        const std::vector<std::string> parts = SplitArchive(archive_, c.part);
        ASSERT_EQ(parts.size(), c.sizes.size());
        EXPECT_EQ(VolumeCount(c.size, c.part), c.sizes.size());
        std::string joined;
        for (std::size_t i = 0; i < parts.size(); ++i) {
            EXPECT_EQ(parts[i], VolumeName(archive_, i + 1));
            EXPECT_EQ(fs::file_size(parts[i]), c.sizes[i]);
            struct stat st {};
            ASSERT_EQ(::stat(parts[i].c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 0777, 0600u) << "the archive's data is private";
            joined += Slurp(parts[i]);
        }
        EXPECT_TRUE(joined == content) << "the parts do not join to the archive";
        EXPECT_TRUE(Slurp(archive_) == content) << "the archive itself is left as it was";
        std::vector<std::string> expected{fs::path(archive_).filename().string()};
        for (const std::string& part : parts) expected.push_back(fs::path(part).filename().string());
        EXPECT_EQ(Listing(), expected) << "no temporary file stays";
        RemoveFiles(parts);
    }
}

TEST(ArchiveVolumeNames, NumberedFromOneWithThreeDigitsAtLeast) {
    EXPECT_EQ(VolumeName("/q/bak/a.zip", 1), "/q/bak/a.zip.001");
    EXPECT_EQ(VolumeName("/q/bak/a.zip", 42), "/q/bak/a.zip.042");
    EXPECT_EQ(VolumeName("/q/bak/a.zip", 1000), "/q/bak/a.zip.1000");
    EXPECT_EQ(AnsiToUtf8(VolumeSubject(Utf8ToAnsi("备份a.zip"), 2, 5)), "备份a.zip (2/5)");
    EXPECT_EQ(AnsiToUtf8(VolumeBodyLine(2, 5)), "分卷 2/5");
}

// A folder where nothing can be created (root may write anywhere, so the
// archive is made to vanish instead when the test runs as root): nothing of the
// split stays behind.
TEST_F(ArchiveVolumesTest, AFailedSplitLeavesNoPartBehind) {
    ASSERT_EQ(ReplaceFileContent(archive_, Bytes(5000)), 0);
    if (::geteuid() == 0) {
        EXPECT_THROW(SplitArchive((dir_ / "missing.zip").string(), 1000), EVolumeError);
        // A name taken by a folder: the third volume cannot be renamed into place.
        fs::create_directories(VolumeName(archive_, 3));
        fs::create_directories(VolumeName(archive_, 3) + "/keep");
        EXPECT_THROW(SplitArchive(archive_, 1000), EVolumeError);
        fs::remove_all(VolumeName(archive_, 3));
    } else {
        fs::permissions(dir_, fs::perms::owner_read | fs::perms::owner_exec);
        EXPECT_THROW(SplitArchive(archive_, 1000), EVolumeError);
        fs::permissions(dir_, fs::perms::owner_all);
    }
    EXPECT_EQ(Listing(), std::vector<std::string>{fs::path(archive_).filename().string()});
    EXPECT_THROW(SplitArchive(archive_, 0), EVolumeError);
}

// The part size search against a mail that grows as base64 does: 4 bytes per 3,
// a line end per 76 characters, and a fixed head.
TEST(ArchiveVolumeSize, TheLargestPartWhoseMailFits) {
    auto mail = [](std::uint64_t part) {
        const std::uint64_t chars = (part + 2) / 3 * 4;
        return 1500 + chars + (chars + 75) / 76 * 2;
    };
    struct Case {
        std::uint64_t budget, most;
    };
    for (const Case& c : {Case{300000 - VolumeHeaderMargin, 1000000}, Case{10u << 20, 50u << 20},
                          Case{1600, 1000}, Case{300000, 1000}}) {
        const std::uint64_t part = LargestFittingPart(c.budget, c.most, mail);
        ASSERT_GT(part, 0u);
        EXPECT_LE(mail(part), c.budget);
        EXPECT_LE(part, c.most);
        if (part < c.most) {
            EXPECT_GT(mail(part + 1), c.budget) << "a larger part would fit too";
        }
    }
    EXPECT_EQ(LargestFittingPart(1400, 1000, mail), 0u) << "not even one byte fits";
    EXPECT_EQ(LargestFittingPart(1u << 20, 0, mail), 0u);
}

} // namespace
