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

} // namespace
} // namespace tarvo
