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

// The picture, with its PNG bytes made only when someone asks for them.
class ImageData : public QMimeData
{
public:
    ImageData(const QImage& image, std::function<QByteArray(const QImage&)> png)
        : image_(image), png_(std::move(png))
    {
        setImageData(image);
    }

    bool hasFormat(const QString& mimeType) const override
    {
        return mimeType == pngType() || QMimeData::hasFormat(mimeType);
    }
    QStringList formats() const override
    {
        QStringList f = QMimeData::formats();
        if (!f.contains(pngType())) f.prepend(pngType());
        return f;
    }

protected:
    QVariant retrieveData(const QString& mimeType, QMetaType type) const override
    {
        if (mimeType == pngType()) {
            if (bytes_.isEmpty()) bytes_ = png_(image_);
            if (!bytes_.isEmpty()) return bytes_;
        }
        return QMimeData::retrieveData(mimeType, type);
    }

private:
    static QString pngType() { return QStringLiteral("image/png"); }
    QImage image_;
    std::function<QByteArray(const QImage&)> png_;
    mutable QByteArray bytes_;
};

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

void CopyImageToClipboard(const QImage& image, std::function<QByteArray(const QImage&)> png)
{
    onGuiThread([image, png = std::move(png)]() mutable {
        if (auto* dc = dataControl(); dc && dc->SetImage(image, png)) return;
        if (!png) {
            QGuiApplication::clipboard()->setImage(image, QClipboard::Clipboard);
            return;
        }
        QGuiApplication::clipboard()->setMimeData(new ImageData(image, std::move(png)),
                                                  QClipboard::Clipboard);
    });
}

} // namespace tarvo
