#include "net/version_check.h"

#include "platform/commands.h"
#include "platform/http_helper.h"
#include "platform/process_state.h"
#include "platform/resources.h"
#include "platform/window.h"
#include "protocol/version.h"
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

void waitOneSecond()
{
    std::this_thread::sleep_for(ShortWaitsForTests() ? std::chrono::milliseconds(100)
                                                     : std::chrono::milliseconds(1000));
}

} // namespace

bool IsOlderVersion(QStringView a, QStringView b)
{
    const auto view = [](QStringView s) {
        return std::u16string_view(reinterpret_cast<const char16_t*>(s.utf16()),
                                   std::size_t(s.size()));
    };
    return protocol::IsOlderVersion(view(a), view(b));
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

    // Apart: one request a session is not worth keeping libcurl's libraries resident for.
    platform::HttpReply reply;
    if (!platform::HttpSendApart(request, &reply)) return QString();
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
