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

// The callback that lets the caller move on runs once, only when the whole file is there, and
// never for a file that was not made.
TEST(CreateFileExclusively, WrittenRunsOnceWithEveryByteInTheFile)
{
    QTemporaryDir dir;
    const QString taken = dir.path() + "/taken.png";
    ASSERT_EQ(platform::CreateFileExclusively(taken, "old"), 0);
    const QByteArray big(3 * 1024 * 1024 + 17, 'z'); // more than one write may take
    const struct
    {
        const char* name;
        QString path;
        QByteArray bytes;
        int error;
    } cases[] = {{"small", dir.path() + "/a.png", "abc", 0},
                 {"big", dir.path() + "/b.png", big, 0},
                 {"empty", dir.path() + "/c.png", QByteArray(), 0},
                 {"taken", taken, "new", EEXIST},
                 {"no folder", dir.path() + "/none/d.png", "x", ENOENT}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        int calls = 0;
        QByteArray seen = "<not called>";
        EXPECT_EQ(platform::CreateFileExclusively(c.path, c.bytes,
                                                  [&] {
                                                      ++calls;
                                                      seen = readAll(c.path);
                                                  }),
                  c.error);
        EXPECT_EQ(calls, c.error == 0 ? 1 : 0);
        if (c.error == 0) {
            EXPECT_EQ(seen, c.bytes);
        }
    }
    EXPECT_EQ(readAll(taken), "old");
}

} // namespace
} // namespace tarvo
