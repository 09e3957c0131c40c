#pragma once
// The CLIPBOARD selection owned through the compositor's data-control protocol, on a Wayland
// connection of the program's own. Unlike the toolkit's clipboard it needs no focused window,
// which a tray program no longer has once the overlay closed. Paste requests are served from
// the event loop until another client takes the selection. User-interface thread only.
#include <QByteArray>
#include <QImage>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <vector>

namespace tarvo::platform::wayland {

// The MIME types a text and a picture are offered as, in the order offered.
std::vector<QByteArray> TextMimeTypes();
std::vector<QByteArray> ImageMimeTypes();

// The bytes of the picture for one of ImageMimeTypes(); empty for any other type.
QByteArray EncodeImageAs(const QImage& image, const QByteArray& mimeType);

class DataControlClipboard : public QObject
{
public:
    // The one instance, connected on first use; null where there is no Wayland display or the
    // compositor does not offer the protocol (then it is not tried again).
    static DataControlClipboard* Instance();

    // A connection of its own to the named display (empty: WAYLAND_DISPLAY), for tests; null
    // where it cannot connect or the compositor lacks the protocol.
    static std::unique_ptr<DataControlClipboard> Connect(const QByteArray& displayName = {});

    ~DataControlClipboard() override;
    DataControlClipboard(const DataControlClipboard&) = delete;
    DataControlClipboard& operator=(const DataControlClipboard&) = delete;

    // Take the selection; false when the connection is gone (the caller falls back).
    bool SetText(const QString& text);
    // png, when given, makes the image/png bytes (a faster writer than the toolkit's).
    bool SetImage(const QImage& image, const std::function<QByteArray(const QImage&)>& png = {});

    // Whether this program still owns the selection (no other client took it since).
    bool OwnsSelection() const;

    struct Connection;

private:
    explicit DataControlClipboard(std::unique_ptr<Connection> connection);
    bool offer(std::vector<QByteArray> mimeTypes,
               std::function<QByteArray(const QByteArray&)> produce);

    std::unique_ptr<Connection> c_;
};

} // namespace tarvo::platform::wayland
