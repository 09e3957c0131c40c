#include "app/application.h"
#include "app/command_line.h"
#include "platform/instance_channel.h"
#include "settings/service.h"
#include "settings/settings.h"
#include "support/temp_env.h"

#include <QCoreApplication>
#include <QFile>
#include <atomic>
#include <cstring>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace tarvo {
namespace {

struct Case
{
    QStringList args;
    bool exit;
    int exitCode;
    std::optional<std::int32_t> capture;
    const char* errorHas; // part of the one-line error, or nullptr for none
};

TEST(CommandLine, OptionsDestinationsAndErrors)
{
    const std::optional<std::int32_t> none;
    const Case cases[] = {
        {{"tarvo"}, false, 0, none, nullptr},
        {{"tarvo", "--capture"}, false, 0, kMenuDestination, nullptr},
        {{"tarvo", "--capture", "file"}, false, 0, DestinationFile, nullptr},
        {{"tarvo", "--capture=clipboard"}, false, 0, DestinationClipboard, nullptr},
        {{"tarvo", "--capture", "web"}, false, 0, DestinationWeb, nullptr},
        // The toolkit's own options pass through to it; a session manager restarts with these.
        {{"tarvo", "-session", "10abc", "-platform", "xcb"}, false, 0, none, nullptr},
        {{"tarvo", "--capture", "File"}, true, 2, none, "unknown destination 'File'"},
        {{"tarvo", "--capture", "file", "web"}, true, 2, none, "unexpected argument 'web'"},
        {{"tarvo", "file"}, true, 2, none, "unexpected argument 'file'"},
        {{"tarvo", "--bogus"}, true, 2, none, "unknown option '--bogus'"},
        {{"tarvo", "-x", "--capture"}, true, 2, none, "unknown option '-x'"},
        {{"tarvo", "--capture", "--bogus=1"}, true, 2, none, "unknown option '--bogus'"},
        {{"tarvo", "-platform"}, true, 2, none, "platform"}, // its value is missing
    };
    for (const Case& c : cases) {
        const CommandLine r = ParseCommandLine(c.args, false);
        const std::string what = c.args.join(' ').toStdString();
        EXPECT_EQ(r.exit, c.exit) << what;
        EXPECT_EQ(r.exitCode, c.exitCode) << what;
        EXPECT_EQ(r.capture, c.capture) << what;
        if (c.errorHas) {
            EXPECT_TRUE(r.error.startsWith("tarvo: ")) << r.error.toStdString();
            EXPECT_TRUE(r.error.contains(QLatin1String(c.errorHas))) << r.error.toStdString();
            EXPECT_FALSE(r.error.contains(u'\n')) << r.error.toStdString();
        } else {
            EXPECT_TRUE(r.error.isEmpty()) << what << ": " << r.error.toStdString();
        }
    }
}

TEST(CommandLine, HelpAndVersionPrintAndEnd)
{
    for (const char* opt : {"--version", "-v"}) {
        const CommandLine r = ParseCommandLine({"tarvo", opt}, false);
        EXPECT_TRUE(r.exit);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.output, "tarvo " + kProgramVersion.toString() + "\n");
    }
    for (bool russian : {false, true}) {
        const CommandLine r = ParseCommandLine({"tarvo", "--capture", "-h"}, russian);
        EXPECT_TRUE(r.exit);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_FALSE(r.capture);
        EXPECT_TRUE(r.output.contains("--capture [")) << r.output.toStdString();
        EXPECT_EQ(r.output.contains(QString::fromUtf8("Параметры")), russian);
        // Nothing of the toolkit's hidden options in the help.
        EXPECT_FALSE(r.output.contains("-session"));
    }
    EXPECT_EQ(ParseCommandLine({"tarvo", "--nope"}, true).error,
              QString::fromUtf8("tarvo: неизвестный параметр '--nope'"));
}

TEST(CommandLine, LanguageFollowsTheFirstLocaleVariableSet)
{
    test::ScopedEnv env;
    env.unset("LC_ALL");
    env.unset("LC_MESSAGES");
    env.set("LANG", "ru_RU.UTF-8");
    EXPECT_TRUE(PrefersRussian());
    env.set("LC_MESSAGES", "C");
    EXPECT_FALSE(PrefersRussian());
    env.set("LC_ALL", "ru_UA.UTF-8");
    EXPECT_TRUE(PrefersRussian());
}

TEST(CommandLine, CaptureMessageRoundTripAndStrangers)
{
    for (std::int32_t d : {kMenuDestination, std::int32_t(DestinationWeb),
                           std::int32_t(DestinationClipboard), std::int32_t(DestinationFile)})
        EXPECT_EQ(ReadCaptureMessage(CaptureMessage(d)), d);
    for (const char* m : {"capture 7", "capture", "capture x", "show 1", "", "capture -2"})
        EXPECT_FALSE(ReadCaptureMessage(m)) << m;
}

// The channel over a real socket: the instance side runs this thread's event loop while a
// second thread plays the later start.
class Channel : public ::testing::Test
{
protected:
    bool sendFromAnotherThread(const QByteArray& request)
    {
        std::atomic<int> result{-1};
        std::thread t([&] { result = platform::SendToInstance(kName, request) ? 1 : 0; });
        while (result.load() < 0)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        t.join();
        return result.load() == 1;
    }

    const QString kName = QString::fromLatin1(kInstanceMutexName);
    test::TempHome home;
};

TEST_F(Channel, RequestsReachTheListenerWhichMayRefuse)
{
    EXPECT_FALSE(platform::SendToInstance(kName, "capture 2")); // nobody listens

    QList<QByteArray> got;
    auto channel = std::make_unique<platform::InstanceChannel>([&](const QByteArray& line) {
        got << line;
        return ReadCaptureMessage(line).has_value();
    });
    ASSERT_TRUE(channel->Listen(kName));
    const QString socket = platform::InstanceChannel::SocketPathFor(kName);
    EXPECT_EQ(socket,
              home.path() + "/runtime/Tarvo.Running_6068FB91-37CE-4AC7-9F79-3C2B80545ED8.socket");

    EXPECT_TRUE(sendFromAnotherThread("capture 2"));
    EXPECT_FALSE(sendFromAnotherThread("format c:"));
    EXPECT_EQ(got, (QList<QByteArray>{"capture 2", "format c:"}));

    channel.reset();
    EXPECT_FALSE(QFile::exists(socket));
    EXPECT_FALSE(platform::SendToInstance(kName, "capture 2"));
}

TEST_F(Channel, ASocketLeftByAnInstanceThatDiedIsReplaced)
{
    const QString socket = platform::InstanceChannel::SocketPathFor(kName);
    // An instance that was killed leaves its socket's file; nobody answers on it.
    QFile stale(socket);
    ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
    stale.close();
    EXPECT_FALSE(platform::SendToInstance(kName, "capture 2"));
    platform::InstanceChannel channel([](const QByteArray&) { return true; });
    ASSERT_TRUE(channel.Listen(kName));
    EXPECT_TRUE(sendFromAnotherThread("capture -1"));
}

TEST_F(Channel, OnlyTheUserMaySendAndNoClientHoldsUpTheNext)
{
    int handled = 0;
    platform::InstanceChannel channel([&](const QByteArray&) { return ++handled > 0; });
    ASSERT_TRUE(channel.Listen(kName));
    const QByteArray path = QFile::encodeName(platform::InstanceChannel::SocketPathFor(kName));
    struct stat info
    {
    };
    ASSERT_EQ(::stat(path.constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    // One client says nothing, one sends a line too long to be a request, without its end.
    const auto connected = [&path] {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.constData(), std::size_t(path.size()));
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        return fd;
    };
    const int silent = connected();
    const int flooding = connected();
    const QByteArray flood(1000, 'x');
    EXPECT_EQ(::send(flooding, flood.constData(), std::size_t(flood.size()), MSG_NOSIGNAL),
              ssize_t(flood.size()));
    EXPECT_TRUE(sendFromAnotherThread("capture 2"));
    EXPECT_EQ(handled, 1);
    // The flood was dropped without an answer: its connection ends.
    char answer[16];
    EXPECT_LE(::recv(flooding, answer, sizeof answer, 0), 0);
    ::close(silent);
    ::close(flooding);
}

} // namespace
} // namespace tarvo
