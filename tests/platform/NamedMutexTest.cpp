// The single-instance lock: a flock on a private lock file in the program's folder.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "platform/Files.h"
#include "platform/NamedMutex.h"

namespace fs = std::filesystem;

namespace {

class NamedMutexTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = TempFolder() + "quorvel-mutex-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern + "/";
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string dir_;
};

TEST_F(NamedMutexTest, OneOwnerAtATimeInTheGivenFolder) {
    {
        TNamedMutex first("quorvel", dir_);
        EXPECT_TRUE(first.Owned());
        EXPECT_EQ(first.Path(), dir_ + "quorvel.lock");
        struct stat st {};
        ASSERT_EQ(::stat(first.Path().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        // Another process of the same installation.
        const pid_t child = ::fork();
        if (child == 0) {
            TNamedMutex second("quorvel", dir_);
            ::_exit(second.AlreadyExists() && !second.Owned() ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a second process got the lock";
        TNamedMutex other("quorvel", dir_ + "other/");
        EXPECT_FALSE(other.Owned()) << "no such folder";
        EXPECT_FALSE(other.AlreadyExists());
        EXPECT_NE(other.Error().find("No such file or directory"), std::string::npos) << other.Error();
    }
    TNamedMutex again("quorvel", dir_);
    EXPECT_TRUE(again.Owned()) << "released with its owner";
    // A name with a "/" is the lock file itself.
    TNamedMutex byPath(dir_ + "mine.lock");
    EXPECT_TRUE(byPath.Owned());
    EXPECT_EQ(byPath.Path(), dir_ + "mine.lock");
}

TEST_F(NamedMutexTest, AWiderLockFileIsMadePrivate) {
    const std::string path = dir_ + "quorvel.lock";
    ASSERT_EQ(ReplaceFileContent(path, "", 0666), 0);
    ASSERT_EQ(::chmod(path.c_str(), 0666), 0);
    TNamedMutex lock("quorvel", dir_);
    EXPECT_TRUE(lock.Owned());
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// Any user could bind an abstract socket name; a lock file of ours is out of their reach.
TEST_F(NamedMutexTest, AnAbstractSocketOfTheSameNameBlocksNothing) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string name = "quorvel-mutex:quorvel";
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    const bool bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), size) == 0;
    TNamedMutex lock("quorvel", dir_);
    EXPECT_TRUE(lock.Owned());
    EXPECT_FALSE(lock.AlreadyExists());
    ::close(fd);
    if (!bound) GTEST_SKIP() << "an instance of the program holds the socket name on this machine";
}

} // namespace
