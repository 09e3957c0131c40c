#pragma once
// The CLIPBOARD selection. Callable from any thread: the work is done on the user-interface
// thread, and the caller waits for it.
#include <QImage>
#include <QString>
#include <functional>

namespace tarvo {

// Puts the text on the clipboard as UTF-8 text (so non-Latin paths survive).
void CopyTextToClipboard(const QString& text);
// Puts the picture on the clipboard. With `png`, a request for image/png is answered with its
// bytes, made on the first request and kept (the toolkit's own writer is slower).
void CopyImageToClipboard(const QImage& image,
                          std::function<QByteArray(const QImage&)> png = nullptr);

// Whether the clipboard can be set only while one of the program's windows has the keyboard
// focus (Wayland without the data-control protocol). User-interface thread only.
bool ClipboardNeedsFocus();

} // namespace tarvo
