#include "platform/SingleInstance.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "support/ScratchDir.h"

namespace vox {
namespace {

using TState = TSingleInstance::TState;

TEST(SingleInstanceTest, SecondCopyIsRefusedUntilTheFirstEnds) {
    test::TScratchDir dir;
    auto first = std::make_unique<TSingleInstance>(dir.Path());
    ASSERT_EQ(first->State(), TState::Acquired);
    EXPECT_EQ(first->LockPath(), dir.File("Voxilen.exe-WakeUp"));
    {
        TSingleInstance second(dir.Path());
        EXPECT_EQ(second.State(), TState::AlreadyRunning);
    }
    // The refused copy did not disturb the lock of the running one.
    EXPECT_EQ(TSingleInstance(dir.Path()).State(), TState::AlreadyRunning);
    first.reset();
    EXPECT_EQ(TSingleInstance(dir.Path()).State(), TState::Acquired);
}

TEST(SingleInstanceTest, ASecondStartKnocksAtTheRunningCopy) {
    test::TScratchDir dir;
    auto first = std::make_unique<TSingleInstance>(dir.Path());
    ASSERT_EQ(first->State(), TState::Acquired);
    ASSERT_GE(first->WakeFd(), 0);
    EXPECT_FALSE(first->TakeWakeCalls()) << "nobody knocked yet";
    EXPECT_FALSE(first->WakeRunningCopy()) << "only a refused copy knocks";
    {
        TSingleInstance second(dir.Path());
        ASSERT_EQ(second.State(), TState::AlreadyRunning);
        EXPECT_LT(second.WakeFd(), 0);
        EXPECT_TRUE(second.WakeRunningCopy());
        EXPECT_TRUE(second.WakeRunningCopy());
    }
    EXPECT_TRUE(first->TakeWakeCalls());
    EXPECT_FALSE(first->TakeWakeCalls()) << "both knocks taken at once";
    // The socket goes with the copy; a socket left by a copy that crashed is replaced.
    first.reset();
    EXPECT_FALSE(std::filesystem::exists(dir.File("Voxilen.exe-WakeUp.socket")));
    test::WriteFileBytes(dir.File("Voxilen.exe-WakeUp.socket"), "left behind");
    {
        auto held = std::make_unique<TSingleInstance>(dir.Path());
        ASSERT_EQ(held->State(), TState::Acquired);
        TSingleInstance later(dir.Path());
        EXPECT_TRUE(later.WakeRunningCopy());
        EXPECT_TRUE(held->TakeWakeCalls());
        held.reset();
        EXPECT_FALSE(later.WakeRunningCopy()) << "nobody runs any more";
    }
}

TEST(SingleInstanceTest, LockDiesWithTheProcessThatHeldIt) {
    test::TScratchDir dir;
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        TSingleInstance held(dir.Path());
        const char ok = held.State() == TState::Acquired ? '1' : '0';
        (void)!::write(ready[1], &ok, 1);
        ::pause();  // killed below, without any clean-up of its own
        ::_exit(0);
    }
    ::close(ready[1]);
    char ok = 0;
    ASSERT_EQ(::read(ready[0], &ok, 1), 1);
    ::close(ready[0]);
    ASSERT_EQ(ok, '1');
    EXPECT_EQ(TSingleInstance(dir.Path()).State(), TState::AlreadyRunning);
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_EQ(TSingleInstance(dir.Path()).State(), TState::Acquired);
}

TEST(SingleInstanceTest, UnusableFolderRunsWithoutGuard) {
    test::TScratchDir dir;
    TSingleInstance missing(dir.File("no-such-folder"));
    EXPECT_EQ(missing.State(), TState::NoGuard);
    // A link planted where the lock file goes is not followed.
    std::filesystem::create_symlink(dir.File("elsewhere"), dir.File("Voxilen.exe-WakeUp"));
    TSingleInstance linked(dir.Path());
    EXPECT_EQ(linked.State(), TState::NoGuard);
    EXPECT_FALSE(std::filesystem::exists(dir.File("elsewhere")));
}

TEST(SingleInstanceTest, OnlyPrivateFoldersOfThisUserHoldTheLock) {
    test::TScratchDir dir;
    ::chmod(dir.Path().c_str(), 0700);
    EXPECT_TRUE(TSingleInstance::IsPrivateFolder(dir.Path()));
    ::chmod(dir.Path().c_str(), 0777);
    EXPECT_FALSE(TSingleInstance::IsPrivateFolder(dir.Path()));
    ::chmod(dir.Path().c_str(), 0700);
    std::filesystem::create_symlink(dir.Path(), dir.File("link"));
    EXPECT_FALSE(TSingleInstance::IsPrivateFolder(dir.File("link")));
    EXPECT_FALSE(TSingleInstance::IsPrivateFolder("relative/folder"));
    EXPECT_FALSE(TSingleInstance::IsPrivateFolder(""));
}

TEST(SingleInstanceTest, RuntimeFolderIsTheLoginScope) {
    test::TScratchDir dir;
    ::chmod(dir.Path().c_str(), 0700);
    const char* saved = std::getenv("XDG_RUNTIME_DIR");
    const std::string restore = saved != nullptr ? saved : "";
    ::setenv("XDG_RUNTIME_DIR", (dir.Path() + "/").c_str(), 1);
    EXPECT_EQ(TSingleInstance::LockFolder(), dir.Path());
    // A runtime folder others may write to is not trusted; the per-user folder in /tmp is.
    ::chmod(dir.Path().c_str(), 0777);
    const std::string fallback = "/tmp/voxilen-" + std::to_string(::getuid());
    EXPECT_EQ(TSingleInstance::LockFolder(), fallback);
    struct stat st {};
    ASSERT_EQ(::lstat(fallback.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ::chmod(dir.Path().c_str(), 0700);
    if (saved != nullptr) {
        ::setenv("XDG_RUNTIME_DIR", restore.c_str(), 1);
    } else {
        ::unsetenv("XDG_RUNTIME_DIR");
    }
}

}  // namespace
}  // namespace vox
