#include "platform/wayland/portal_screenshot.h"

#include "platform/session.h"
#include "platform/wayland/portal_response.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QRandomGenerator>
#include <QScreen>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <cmath>

namespace tarvo::platform::wayland {

namespace {

const QString kPortalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPortalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kRequestInterface = QStringLiteral("org.freedesktop.portal.Request");

bool Subscribe(QDBusConnection& bus, const QString& path, PortalResponse* catcher)
{
    return bus.connect(kPortalService, path, kRequestInterface, QStringLiteral("Response"), catcher,
                       SLOT(response(uint, QVariantMap)));
}

void Unsubscribe(QDBusConnection& bus, const QString& path, PortalResponse* catcher)
{
    bus.disconnect(kPortalService, path, kRequestInterface, QStringLiteral("Response"), catcher,
                   SLOT(response(uint, QVariantMap)));
}

std::vector<WaylandOutput> ToolkitOutputs(const QSize& picture)
{
    std::vector<WaylandOutput> outputs;
    auto* gui = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    if (gui) {
        // The portal's picture covers the virtual desktop at the largest scale, as the direct
        // copy does.
        QRect bounds;
        int scale = 1;
        const auto screens = QGuiApplication::screens();
        for (const QScreen* s : screens) {
            bounds = bounds.united(s->geometry());
            scale = std::max(scale, static_cast<int>(std::ceil(s->devicePixelRatio())));
        }
        if (!screens.isEmpty() && bounds.size() * scale == picture) {
            for (const QScreen* s : screens)
                outputs.push_back({s->name(),
                                   QRect((s->geometry().topLeft() - bounds.topLeft()) * scale,
                                         s->geometry().size() * scale),
                                   static_cast<int>(std::ceil(s->devicePixelRatio()))});
            return outputs;
        }
    }
    outputs.push_back({QStringLiteral("screen"), QRect(QPoint(0, 0), picture), 1});
    return outputs;
}

} // namespace

QString PortalRequestPath(const QString& uniqueName, const QString& token)
{
    QString sender = uniqueName;
    if (sender.startsWith(QLatin1Char(':'))) sender.remove(0, 1);
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    return QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2").arg(sender, token);
}

bool PortalFileIsTemporary(const QString& path)
{
    const QString file = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    // Where portals put the copies they hand over (the wlr one: /tmp; others: their temporary
    // folder). Not /var/tmp, which outlives a reboot and is no portal's place.
    for (QString dir : {QDir::tempPath(), QStringLiteral("/tmp")}) {
        dir = QDir(dir).absolutePath();
        if (!dir.endsWith(QLatin1Char('/'))) dir += QLatin1Char('/');
        if (file.startsWith(dir)) return true;
    }
    return false;
}

QImage PortalScreenshot(QRect* area, std::vector<WaylandOutput>* outputs, QString* error,
                        int timeoutMs)
{
    const auto fail = [&](const QString& text) {
        if (error) *error = text;
        return QImage();
    };
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return fail(QStringLiteral("no session bus for the screenshot portal"));

    const QString token = QStringLiteral("tarvo%1").arg(QRandomGenerator::global()->generate(), 8,
                                                        16, QLatin1Char('0'));
    QString requestPath = PortalRequestPath(bus.baseService(), token);
    PortalResponse catcher;
    QEventLoop loop;
    catcher.loop = &loop;
    // Subscribed before the call: a quick portal may answer before the call returns.
    if (!Subscribe(bus, requestPath, &catcher))
        return fail(QStringLiteral("cannot listen for the screenshot portal's answer"));

    QDBusMessage call = QDBusMessage::createMethodCall(
        kPortalService, kPortalPath, QStringLiteral("org.freedesktop.portal.Screenshot"),
        QStringLiteral("Screenshot"));
    call << QString()
         << QVariantMap{{QStringLiteral("handle_token"), token},
                        {QStringLiteral("interactive"), false}};
    QDBusPendingCallWatcher watcher(bus.asyncCall(call, timeoutMs));
    QString callError;
    QObject::connect(&watcher, &QDBusPendingCallWatcher::finished, &loop, [&] {
        const QDBusPendingReply<QDBusObjectPath> reply = watcher;
        if (reply.isError()) {
            callError =
                reply.error().message().isEmpty() ? reply.error().name() : reply.error().message();
            loop.quit();
            return;
        }
        // Portals before 0.9 make up their own path; follow it.
        const QString handle = reply.value().path();
        if (handle != requestPath && !catcher.answered) {
            Unsubscribe(bus, requestPath, &catcher);
            requestPath = handle;
            Subscribe(bus, requestPath, &catcher);
        }
    });
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    timer.start(timeoutMs);
    if (!catcher.answered) loop.exec(QEventLoop::ExcludeUserInputEvents);
    Unsubscribe(bus, requestPath, &catcher);

    if (!callError.isEmpty())
        return fail(QStringLiteral("the screenshot portal is not available: %1").arg(callError));
    if (!catcher.answered) {
        // Tell the portal to drop the request rather than leave a dialog behind.
        bus.call(QDBusMessage::createMethodCall(kPortalService, requestPath, kRequestInterface,
                                                QStringLiteral("Close")),
                 QDBus::NoBlock);
        return fail(QStringLiteral("the screenshot portal did not answer within %1 s")
                        .arg(timeoutMs / 1000.0));
    }
    if (catcher.code == 1) return fail(QStringLiteral("the screenshot was refused"));
    if (catcher.code != 0)
        return fail(QStringLiteral("the screenshot portal failed (response %1)").arg(catcher.code));

    const QUrl uri(catcher.results.value(QStringLiteral("uri")).toString());
    if (!uri.isLocalFile())
        return fail(
            QStringLiteral("the screenshot portal returned no file (%1)").arg(uri.toString()));
    const QString path = uri.toLocalFile();
    QImage image(path);
    if (PortalFileIsTemporary(path)) QFile::remove(path);
    if (image.isNull())
        return fail(QStringLiteral("cannot read the screenshot portal's file %1").arg(path));
    image = image.convertToFormat(QImage::Format_RGB32);
    if (area) *area = image.rect();
    if (outputs) *outputs = ToolkitOutputs(image.size());
    if (error) error->clear();
    return image;
}

QImage CopyScreen(QRect* area, std::vector<WaylandOutput>* outputs, QString* error)
{
    if (!ScreenCopyThroughPortal() && WaylandScreenCopyAvailable())
        return CopyWaylandScreen(area, outputs, error);
    return PortalScreenshot(area, outputs, error);
}

} // namespace tarvo::platform::wayland
