// Ending the program from outside: a signal ends it as the exit command does, and in the
// sanitizer build the leak check at exit finds nothing after a capture of each kind.
#include "desktop/harness.h"
#include "support/http_server.h"

#include <QDir>
#include <QFile>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

namespace tarvo::test {
namespace {

class CleanExit : public ::testing::Test
{
protected:
    void start(int destination)
    {
        shots = d.home() + "/shots";
        QDir().mkpath(shots);
        d.writeSettings(
            {{"Destination", std::to_string(destination)}, {"Target Folder", shots.toStdString()}});
        auto env = d.env();
        env["TARVO_LOG"] = "1";
        env["TARVO_SERVICE_URL"] = server.baseUrl().toStdString();
        env["no_proxy"] = "127.0.0.1";
        // Leak reports and sanitizer errors go here.
        tarvo = std::make_unique<Child>(std::vector<std::string>{TARVO_BINARY}, env,
                                        output().toStdString());
        ASSERT_TRUE(WaitUntil([&] { return !d.trayIconWindow("tarvo").empty(); }, 30s));
        ASSERT_TRUE(WaitUntil([&] { return d.visibleWindows("^Tarvo$").empty(); }, 10s));
    }
    QString output() const { return d.home() + "/tarvo-output.txt"; }
    QString outputText() const
    {
        QFile f(output());
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }
    void capture(const QString& done)
    {
        ASSERT_TRUE(d.captureRectangle()) << "no overlay";
        ASSERT_TRUE(d.waitForLog(done, 20s)) << d.readLog().toStdString();
        ASSERT_TRUE(WaitUntil([&] { return !d.overlayVisible(); }, 10s));
    }
    QByteArray store() const
    {
        QFile f(d.configHome() + "/tarvo/tarvo.reg");
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    // Counted from the bottom of the tray menu, which history entries do not move.
    void chooseDestination(int upPresses, int destination)
    {
        const std::string icon = d.trayIconWindow("tarvo");
        d.run({"xdotool", "mousemove", "--window", icon, "12", "12", "click", "3"});
        ASSERT_TRUE(WaitUntil([&] { return !d.trayMenuWindow().empty(); }, 10s)) << "no menu";
        std::vector<std::string> keys{"xdotool", "key"};
        for (int i = 0; i < upPresses; ++i)
            keys.push_back("Up");
        keys.push_back("Return");
        d.run(keys);
        const QByteArray saved = "\"Destination\"=\"" + QByteArray::number(destination) + "\"";
        ASSERT_TRUE(WaitUntil([&] { return store().contains(saved); }, 10s))
            << store().toStdString();
    }
    bool instanceLockFree() const
    {
        const QString path =
            d.runtimeDir() + "/Tarvo.Running_6068FB91-37CE-4AC7-9F79-3C2B80545ED8.lock";
        const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CLOEXEC);
        if (fd < 0) return true;
        const bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
        ::close(fd);
        return free;
    }
    void expectCleanEnd(int sig)
    {
        tarvo->kill(sig);
        const auto rc = tarvo->wait(30s);
        ASSERT_TRUE(rc.has_value()) << "still running";
        EXPECT_EQ(*rc, 0) << outputText().toStdString();
        EXPECT_FALSE(d.trayHasIcon("tarvo"));
        EXPECT_TRUE(instanceLockFree());
        EXPECT_TRUE(d.readLog().contains(QString("Signal %1 received, exiting").arg(sig)));
        const QString out = outputText();
        EXPECT_FALSE(out.contains("LeakSanitizer")) << out.toStdString();
        EXPECT_FALSE(out.contains("AddressSanitizer")) << out.toStdString();
        EXPECT_FALSE(out.contains("runtime error")) << out.toStdString();
    }

    Desktop d;
    HttpServer server;
    QString shots;
    std::unique_ptr<Child> tarvo;
};

TEST_F(CleanExit, AfterACaptureOfEachKindTermEndsWithoutALeak)
{
    start(0);
    capture("Posted to URL");
    chooseDestination(5, 1);
    capture("Posted to clipboard");
    chooseDestination(4, 2);
    const qsizetype before = QDir(shots).entryList(QDir::Files).size();
    ASSERT_TRUE(d.captureRectangle()) << "no overlay";
    ASSERT_TRUE(WaitUntil([&] { return QDir(shots).entryList(QDir::Files).size() > before; }, 20s));
    ASSERT_EQ(server.requests("POST").size(), 1u);
    expectCleanEnd(SIGTERM);
}

TEST_F(CleanExit, InterruptAndHangUpEndItTheSameWay)
{
    for (int sig : {SIGINT, SIGHUP}) {
        SCOPED_TRACE(sig);
        start(1);
        expectCleanEnd(sig);
        QFile::remove(d.logPath());
    }
}

} // namespace
} // namespace tarvo::test
