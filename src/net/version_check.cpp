#include "net/version_check.h"

#include "app/commands.h"
#include "platform/process_state.h"
#include "platform/resources.h"
#include "platform/window.h"
#include "settings/service.h"

#include <QApplication>
#include <QEventLoop>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>
#include <QUrl>
#include <chrono>
#include <climits>
#include <cstdint>
#include <thread>

namespace tarvo {

namespace {

constexpr int kWaitSteps = 15;
constexpr std::size_t kValueLimit = 15;

class Scanner
{
public:
    explicit Scanner(QStringView s) : s_(s) {}

    char16_t peek(qsizetype ahead = 0) const
    {
        const qsizetype at = i_ + ahead;
        return at < s_.size() ? s_[at].unicode() : u'\0';
    }
    bool literal(char16_t c)
    {
        if (peek() != c) return false;
        ++i_;
        return true;
    }

    // One "%i" conversion; false on a matching failure (no digits), leaving out untouched.
    bool integer(int& out)
    {
        while (isBlank(peek()))
            ++i_;
        qsizetype j = i_;
        bool negative = false;
        if (peekAt(j) == u'+' || peekAt(j) == u'-') negative = peekAt(j++) == u'-';
        int base = 10;
        if (peekAt(j) == u'0') {
            if ((peekAt(j + 1) == u'x' || peekAt(j + 1) == u'X') && digit(peekAt(j + 2), 16) >= 0) {
                base = 16;
                j += 2;
            } else {
                base = 8;
            }
        }
        std::int64_t value = 0;
        const qsizetype first = j;
        for (int d; (d = digit(peekAt(j), base)) >= 0; ++j)
            value = std::min<std::int64_t>(value * base + d, std::int64_t(INT_MAX) + 1);
        if (j == first) return false;
        i_ = j;
        // Out-of-range numbers saturate rather than wrap.
        value = negative ? -value : value;
        out = static_cast<int>(std::clamp<std::int64_t>(value, INT_MIN, INT_MAX));
        return true;
    }

private:
    char16_t peekAt(qsizetype at) const { return at < s_.size() ? s_[at].unicode() : u'\0'; }
    static bool isBlank(char16_t c)
    {
        return c == u' ' || c == u'\t' || c == u'\n' || c == u'\v' || c == u'\f' || c == u'\r';
    }
    static int digit(char16_t c, int base)
    {
        int d = -1;
        if (c >= u'0' && c <= u'9')
            d = c - u'0';
        else if (c >= u'a' && c <= u'f')
            d = c - u'a' + 10;
        else if (c >= u'A' && c <= u'F')
            d = c - u'A' + 10;
        return d < base ? d : -1;
    }

    QStringView s_;
    qsizetype i_ = 0;
};

struct Version
{
    int part[3] = {0, 0, 0};
};

Version readVersion(QStringView text)
{
    Version v;
    Scanner s(text);
    for (int k = 0; k < 3; ++k) {
        if (k > 0 && !s.literal(u'.')) break;
        if (!s.integer(v.part[k])) break;
    }
    return v;
}

void waitOneSecond()
{
    std::this_thread::sleep_for(std::chrono::seconds(1));
}

} // namespace

bool IsOlderVersion(QStringView a, QStringView b)
{
    const Version va = readVersion(a);
    const Version vb = readVersion(b);
    for (int k = 0; k < 3; ++k)
        if (va.part[k] != vb.part[k]) return va.part[k] < vb.part[k];
    return false;
}

QString FetchServerValue(const QString& name, const platform::HttpTimeouts& timeouts)
{
    const QUrl url(ServiceBaseUrl() + name);
    if (!url.isValid() || url.host().isEmpty()) return QString();
    if (Exiting.load()) return QString();

    platform::HttpRequest request;
    if (url.scheme() == QLatin1String("https")) request.scheme = url.scheme();
    request.host = url.host(QUrl::FullyEncoded);
    request.port = url.port(request.scheme == QLatin1String("https") ? 443 : 80);
    request.target = url.path(QUrl::FullyEncoded).toUtf8();
    if (request.target.isEmpty()) request.target = "/";
    request.headers = {"User-Agent: Tarvo/" + kProgramVersion.toLatin1(), "Accept:"};
    request.replyLimit = kValueLimit;
    request.timeouts = timeouts;
    // Closing the program abandons the request rather than waiting for the service.
    request.cancelled = [] { return Exiting.load(); };

    platform::HttpReply reply;
    if (!platform::HttpSend(request, &reply)) return QString();
    if (Exiting.load()) return QString();
    // A zero-terminated text: it ends at the first zero byte.
    return QString::fromLocal8Bit(reply.body.constData(),
                                  qstrnlen(reply.body.constData(), uint(reply.body.size())));
}

bool AskOnUiThread(int textId)
{
    auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
    if (!app) return false;
    bool yes = false;
    const auto show = [&yes, textId] {
        QMessageBox box(QMessageBox::NoIcon, LoadStringResource(IDS_TARVO),
                        LoadStringResource(textId), QMessageBox::Yes | QMessageBox::No);
        // A box without owner that blocks no other window: the tray menu, the hotkey and
        // the uploads go on while it is open.
        box.setWindowModality(Qt::NonModal);
        QEventLoop loop;
        QObject::connect(&box, &QMessageBox::finished, &loop, &QEventLoop::quit);
        box.show();
        loop.exec();
        yes = box.clickedButton() == box.button(QMessageBox::Yes);
    };
    if (QThread::currentThread() == app->thread())
        show();
    else
        QMetaObject::invokeMethod(app, show, Qt::BlockingQueuedConnection);
    return yes;
}

void RunVersionCheck(const VersionCheckHooks& hooks)
{
    try {
        for (int i = 0; i < kWaitSteps; ++i) {
            if (hooks.waitStep)
                hooks.waitStep();
            else
                waitOneSecond();
            if (Exiting.load()) return;
        }
        const QString recommended =
            FetchServerValue(QStringLiteral("Version.Recommended"), hooks.timeouts);
        if (Exiting.load()) return;
        if (!IsOlderVersion(kProgramVersion, recommended)) return;

        const QString minimum = FetchServerValue(QStringLiteral("Version.Minimum"), hooks.timeouts);
        if (Exiting.load()) return;
        const bool outdated = IsOlderVersion(kProgramVersion, minimum);
        const auto ask = hooks.ask ? hooks.ask : std::function<bool(int)>(&AskOnUiThread);
        if (ask(outdated ? IDS_OUTDATED : IDS_NEW_VERSION) && hooks.openBrowser)
            hooks.openBrowser(ProductSiteUrl());
        if (outdated) platform::SendCommand(CmdExit, 0);
    } catch (...) {
        // The check is a courtesy: a service that cannot be asked changes nothing.
    }
}

void StartVersionCheck(std::function<bool(const QString& url)> openBrowser)
{
    VersionCheckHooks hooks;
    hooks.openBrowser = std::move(openBrowser);
    std::thread([hooks = std::move(hooks)] { RunVersionCheck(hooks); }).detach();
}

} // namespace tarvo
