#include "platform/clipboard.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QThread>

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

} // namespace

void CopyTextToClipboard(const QString& text)
{
    onGuiThread([text] { QGuiApplication::clipboard()->setText(text, QClipboard::Clipboard); });
}

void CopyImageToClipboard(const QImage& image)
{
    onGuiThread([image] { QGuiApplication::clipboard()->setImage(image, QClipboard::Clipboard); });
}

} // namespace tarvo
