#include "net/log.h"
#include "platform/services.h"
#include "support/temp_env.h"

#include <QFile>
#include <QRegularExpression>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

namespace tarvo {
namespace {

class LogFile : public ::testing::Test
{
protected:
    void TearDown() override { CloseLog(); }
    QString path() const { return home.path() + "/state/tarvo/TarvoTray.log"; }
    QStringList lines() const
    {
        QString t = QString::fromUtf8(test::TempHome::read(path()));
        EXPECT_TRUE(t.endsWith('\n'));
        t.chop(1);
        return t.split('\n');
    }
    test::TempHome home;
};

TEST_F(LogFile, ClosedByDefaultCreatesNothing)
{
    home.env().unset("TARVO_LOG");
    EXPECT_FALSE(OpenLogFromEnvironment());
    LogText(u"Capturing screen");
    LogFormat(u"Selection is: width=%i, height=%i", 1, 2);
    EXPECT_FALSE(IsLogOpen());
    EXPECT_FALSE(QFile::exists(path()));
}

TEST_F(LogFile, LinesCarryTheLocalTimeStampAndAppend)
{
    test::TempHome::write(path(), "earlier line\n");
    home.env().set("TARVO_LOG", "1");
    ASSERT_TRUE(OpenLogFromEnvironment());
    LogText(u"Capturing screen");
    LogFormat(u"Selection is: width=%i, height=%i", 200, 150);
    LogText(static_cast<const QString*>(nullptr));
    LogFormat(u"Posting to: %s", QString("/db/Post?id=Привет"));
    const QStringList l = lines();
    ASSERT_EQ(l.size(), 5);
    EXPECT_EQ(l[0], "earlier line");
    const QRegularExpression stamp("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d: ");
    for (int i = 1; i < 5; ++i)
        EXPECT_TRUE(stamp.match(l[i]).hasMatch()) << l[i].toStdString();
    EXPECT_TRUE(l[1].endsWith(": Capturing screen"));
    EXPECT_TRUE(l[2].endsWith(": Selection is: width=200, height=150"));
    EXPECT_TRUE(l[3].endsWith(": "));
    EXPECT_TRUE(l[4].endsWith(": Posting to: /db/Post?id=Привет"));
}

TEST_F(LogFile, AFailedClockGivesAnEmptyStamp)
{
    ASSERT_TRUE(OpenLog(path()));
    const ScopedServices clock([](Services& s) { s.logClock = [] { return QString(); }; });
    LogText(u"Reading reply");
    EXPECT_EQ(lines(), QStringList{": Reading reply"});
}

TEST_F(LogFile, AnyOtherValueIsThePath)
{
    const QString custom = home.path() + "/custom dir/my.log";
    home.env().set("TARVO_LOG", QFile::encodeName(custom));
    ASSERT_TRUE(OpenLogFromEnvironment());
    LogText(u"x");
    EXPECT_TRUE(QFile::exists(custom));
}

TEST_F(LogFile, ConcurrentWritersNeverInterleave)
{
    ASSERT_TRUE(OpenLog(path()));
    const ScopedServices clock(
        [](Services& s) { s.logClock = [] { return QStringLiteral("T"); }; });
    constexpr int kThreads = 4, kLines = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            const QString body = QString(200, QChar('a' + t));
            for (int i = 0; i < kLines; ++i)
                LogText(body);
        });
    }
    for (auto& th : threads)
        th.join();
    const QStringList l = lines();
    ASSERT_EQ(l.size(), kThreads * kLines);
    const QRegularExpression whole("^T: (a{200}|b{200}|c{200}|d{200})$");
    for (const QString& line : l)
        ASSERT_TRUE(whole.match(line).hasMatch()) << line.toStdString();
}

} // namespace
} // namespace tarvo
