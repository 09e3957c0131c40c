#include "platform/files.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cerrno>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/resource.h>

namespace tarvo {
namespace {

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

TEST(CreateFileExclusively, WritesANewFileAndNeverReplacesAnything)
{
    QTemporaryDir dir;
    const QString path = dir.path() + "/a.png";
    EXPECT_EQ(platform::CreateFileExclusively(path, "first"), 0);
    EXPECT_EQ(readAll(path), "first");

    EXPECT_EQ(platform::CreateFileExclusively(path, "second"), EEXIST);
    EXPECT_EQ(readAll(path), "first");

    ASSERT_TRUE(QDir(dir.path()).mkdir("folder"));
    EXPECT_EQ(platform::CreateFileExclusively(dir.path() + "/folder", "x"), EEXIST);

    // A dangling link is not followed to create its target.
    ASSERT_TRUE(QFile::link(dir.path() + "/target", dir.path() + "/link"));
    EXPECT_EQ(platform::CreateFileExclusively(dir.path() + "/link", "x"), EEXIST);
    EXPECT_FALSE(QFile::exists(dir.path() + "/target"));

    EXPECT_EQ(platform::CreateFileExclusively(dir.path() + "/none/a.png", "x"), ENOENT);
    EXPECT_EQ(platform::CreateFileExclusively(path + "/below", "x"), ENOTDIR);
    EXPECT_EQ(platform::CreateFileExclusively(dir.path() + "/empty", QByteArray()), 0);
    EXPECT_EQ(QFile(dir.path() + "/empty").size(), 0);
}

// A write that stops half-way (here: the file size limit) leaves no partial file behind.
TEST(CreateFileExclusively, AFailedWriteLeavesNothing)
{
    QTemporaryDir dir;
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = 4096;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const int err = platform::CreateFileExclusively(dir.path() + "/big", QByteArray(20000, 'x'));
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(err, EFBIG);
    EXPECT_FALSE(QFile::exists(dir.path() + "/big"));
}

} // namespace
} // namespace tarvo
