#include "app/command_line.h"

#include "app/application.h"
#include "platform/instance_channel.h"
#include "settings/service.h"
#include "settings/settings.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <cstdio>

namespace tarvo {

namespace {

struct Destinations
{
    QStringView name;
    std::int32_t code;
};
constexpr Destinations kDestinations[] = {
    {u"clipboard", DestinationClipboard},
    {u"file", DestinationFile},
    {u"web", DestinationWeb},
};

// The toolkit's own options, which QApplication takes out of argv later (a session manager
// restarts programs with -session); accepted here so they are not reported as unknown.
constexpr QStringView kToolkitOptionsWithValue[] = {
    u"platform",      u"platformpluginpath",
    u"platformtheme", u"plugin",
    u"display",       u"geometry",
    u"session",       u"style",
    u"stylesheet",    u"name",
    u"title",
};
constexpr QStringView kToolkitFlags[] = {u"reverse", u"widgetcount"};

QString helpText(bool ru)
{
    if (ru)
        return QStringLiteral(
            "Использование: tarvo [--capture [clipboard|file|web]]\n"
            "Снимок фрагмента экрана из системного трея.\n"
            "\n"
            "Параметры:\n"
            "  --capture [КУДА]  снять фрагмент экрана сейчас: в уже запущенном Tarvo или\n"
            "                    в запущенном для этого; КУДА: clipboard (буфер обмена),\n"
            "                    file (файл) или web (веб-сервис); без него - как выбрано\n"
            "                    в меню трея\n"
            "  -h, --help        показать эту справку и выйти\n"
            "  -v, --version     показать версию и выйти\n"
            "\n"
            "Подробнее: man tarvo\n");
    return QStringLiteral(
        "Usage: tarvo [--capture [clipboard|file|web]]\n"
        "Screen capture from the system tray.\n"
        "\n"
        "Options:\n"
        "  --capture [DEST]  capture a screen fragment now: in the Tarvo already running,\n"
        "                    or in one started for it; DEST is clipboard, file or web;\n"
        "                    without it, the destination chosen in the tray menu\n"
        "  -h, --help        show this help and exit\n"
        "  -v, --version     show the version and exit\n"
        "\n"
        "More: man tarvo\n");
}

CommandLine usageError(const QString& text)
{
    CommandLine r;
    r.exit = true;
    r.exitCode = 2;
    r.error = QStringLiteral("tarvo: ") + text;
    return r;
}

} // namespace

CommandLine ParseCommandLine(const QStringList& argsIn, bool ru)
{
    // --capture=file reads as --capture file: the destination is a positional argument,
    // since a value the option may go without is not something the parser knows.
    QStringList args;
    for (const QString& a : argsIn) {
        if (a.startsWith(u"--capture=")) {
            args << QStringLiteral("--capture") << a.mid(10);
        } else {
            args << a;
        }
    }
    if (args.isEmpty()) args << QStringLiteral("tarvo");

    QCommandLineParser parser;
    // -platform and the other toolkit options have one dash and a whole word.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption version(QStringList{QStringLiteral("v"), QStringLiteral("version")});
    const QCommandLineOption capture(QStringLiteral("capture"));
    parser.addOption(help);
    parser.addOption(version);
    parser.addOption(capture);
    for (QStringView name : kToolkitOptionsWithValue) {
        QCommandLineOption o(name.toString(), QString(), QStringLiteral("value"));
        o.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(o);
    }
    for (QStringView name : kToolkitFlags) {
        QCommandLineOption o(name.toString());
        o.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(o);
    }

    if (!parser.parse(args)) {
        const QStringList unknown = parser.unknownOptionNames();
        if (!unknown.isEmpty()) {
            const QString& name = unknown.front();
            const QString shown =
                (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
            return usageError(ru ? QStringLiteral("неизвестный параметр '%1'").arg(shown)
                                 : QStringLiteral("unknown option '%1'").arg(shown));
        }
        QString text = parser.errorText();
        if (text.endsWith(u'.')) text.chop(1);
        return usageError(text);
    }

    CommandLine r;
    if (parser.isSet(help)) {
        r.exit = true;
        r.output = helpText(ru);
        return r;
    }
    if (parser.isSet(version)) {
        r.exit = true;
        r.output = QStringLiteral("tarvo ") + kProgramVersion.toString() + u'\n';
        return r;
    }

    const QStringList positional = parser.positionalArguments();
    if (!parser.isSet(capture)) {
        if (!positional.isEmpty())
            return usageError(
                ru ? QStringLiteral("лишний аргумент '%1'").arg(positional.front())
                   : QStringLiteral("unexpected argument '%1'").arg(positional.front()));
        return r;
    }
    if (positional.size() > 1)
        return usageError(ru ? QStringLiteral("лишний аргумент '%1'").arg(positional[1])
                             : QStringLiteral("unexpected argument '%1'").arg(positional[1]));
    r.capture = kMenuDestination;
    if (positional.size() == 1) {
        r.capture.reset();
        for (const auto& d : kDestinations)
            if (positional[0] == d.name) r.capture = d.code;
        if (!r.capture)
            return usageError(
                ru ? QStringLiteral("неизвестное назначение '%1' (clipboard, file или web)")
                         .arg(positional[0])
                   : QStringLiteral("unknown destination '%1' (clipboard, file or web)")
                         .arg(positional[0]));
    }
    return r;
}

bool PrefersRussian()
{
    // The first of these that is set decides, as for every other program's messages.
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const QByteArray v = qgetenv(name);
        if (!v.isEmpty()) return v.startsWith("ru");
    }
    return false;
}

QByteArray CaptureMessage(std::int32_t destination)
{
    return "capture " + QByteArray::number(destination);
}

std::optional<std::int32_t> ReadCaptureMessage(const QByteArray& message)
{
    if (!message.startsWith("capture ")) return std::nullopt;
    bool ok = false;
    const int code = message.mid(8).toInt(&ok);
    if (!ok) return std::nullopt;
    if (code == kMenuDestination) return code;
    for (const auto& d : kDestinations)
        if (d.code == code) return code;
    return std::nullopt;
}

std::optional<int> HandleCommandLine(int argc, char** argv, std::optional<std::int32_t>* capture)
{
    QStringList args;
    for (int i = 0; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    const CommandLine cl = ParseCommandLine(args, PrefersRussian());
    if (!cl.output.isEmpty()) std::fputs(cl.output.toLocal8Bit().constData(), stdout);
    if (!cl.error.isEmpty()) std::fprintf(stderr, "%s\n", cl.error.toLocal8Bit().constData());
    if (cl.exit) return cl.exitCode;
    *capture = cl.capture;
    if (cl.capture) {
        // No display needed to hand the capture over, so no GUI application yet.
        int n = 1;
        char* name[] = {argv[0], nullptr};
        const QCoreApplication app(n, name);
        if (platform::SendToInstance(QString::fromLatin1(kInstanceMutexName),
                                     CaptureMessage(*cl.capture)))
            return 0;
    }
    return std::nullopt;
}

} // namespace tarvo
