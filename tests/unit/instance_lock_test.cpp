#include "app/application.h"
#include "platform/instance_lock.h"
#include "support/temp_env.h"

#include <csignal>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tarvo::platform {
namespace {

const QString kName = QString::fromLatin1(kInstanceMutexName);

TEST(InstanceLock, OneHolderPerSessionReleasedOnExitAndOnKill)
{
    test::TempHome home;
    InstanceLock first;
    ASSERT_EQ(first.Acquire(kName), InstanceLock::Result::Acquired);
    EXPECT_EQ(InstanceLock::FilePathFor(kName),
              home.path() + "/runtime/Tarvo.Running_6068FB91-37CE-4AC7-9F79-3C2B80545ED8.lock");

    InstanceLock second;
    EXPECT_EQ(second.Acquire(kName), InstanceLock::Result::AlreadyHeld);
    EXPECT_FALSE(second.held());
    first.Release();
    EXPECT_EQ(second.Acquire(kName), InstanceLock::Result::Acquired);
    second.Release();

    // A holder that is killed releases the guard with its death.
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        InstanceLock held;
        const char ok = held.Acquire(kName) == InstanceLock::Result::Acquired ? '1' : '0';
        (void)!::write(ready[1], &ok, 1);
        ::pause();
        ::_exit(0);
    }
    char ok = 0;
    ASSERT_EQ(::read(ready[0], &ok, 1), 1);
    EXPECT_EQ(ok, '1');
    InstanceLock third;
    EXPECT_EQ(third.Acquire(kName), InstanceLock::Result::AlreadyHeld);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_EQ(third.Acquire(kName), InstanceLock::Result::Acquired);
    ::close(ready[0]);
    ::close(ready[1]);
}

TEST(InstanceLock, AnotherLoginSessionIsNotRefused)
{
    test::TempHome sessionA;
    InstanceLock a;
    ASSERT_EQ(a.Acquire(kName), InstanceLock::Result::Acquired);
    test::TempHome sessionB; // its own runtime folder
    InstanceLock b;
    EXPECT_EQ(b.Acquire(kName), InstanceLock::Result::Acquired);
}

TEST(InstanceLock, NoUsableRuntimeFolderFails)
{
    test::TempHome home;
    home.env().set("XDG_RUNTIME_DIR", "/proc/no-such-place");
    InstanceLock l;
    EXPECT_EQ(l.Acquire(kName), InstanceLock::Result::Failed);
}

} // namespace
} // namespace tarvo::platform
