#include "platform/clipboard.h"

#include "platform/session.h"
#include "platform/wayland/data_control.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QThread>
#include <cstdlib>
#include <cstring>

namespace tarvo {

namespace {

template <class F> void onGuiThread(F&& f)
{
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || !qobject_cast<QGuiApplication*>(app)) return;
    if (QThread::currentThread() == app->thread()) {
        f();
        return;
    }
    QMetaObject::invokeMethod(app, std::forward<F>(f), Qt::BlockingQueuedConnection);
}

// On Wayland the toolkit's clipboard works only while one of the program's windows has the
// focus, which a tray program lacks after the overlay closed; the compositor's data-control
// protocol does not need it. TARVO_CLIPBOARD=toolkit keeps to the toolkit (for tests).
platform::wayland::DataControlClipboard* dataControl()
{
    if (platform::ActiveBackend() != platform::Backend::Wayland) return nullptr;
    const char* forced = std::getenv("TARVO_CLIPBOARD");
    if (forced && std::strcmp(forced, "toolkit") == 0) return nullptr;
    return platform::wayland::DataControlClipboard::Instance();
}

} // namespace

bool ClipboardNeedsFocus()
{
    return platform::ActiveBackend() == platform::Backend::Wayland && !dataControl();
}

void CopyTextToClipboard(const QString& text)
{
    onGuiThread([text] {
        if (auto* dc = dataControl(); dc && dc->SetText(text)) return;
        QGuiApplication::clipboard()->setText(text, QClipboard::Clipboard);
    });
}

void CopyImageToClipboard(const QImage& image)
{
    onGuiThread([image] {
        if (auto* dc = dataControl(); dc && dc->SetImage(image)) return;
        QGuiApplication::clipboard()->setImage(image, QClipboard::Clipboard);
    });
}

} // namespace tarvo
