#pragma once
// The CLIPBOARD selection. Callable from any thread: the work is done on the user-interface
// thread, and the caller waits for it.
#include <QImage>
#include <QString>

namespace tarvo {

// Puts the text on the clipboard as UTF-8 text (so non-Latin paths survive).
void CopyTextToClipboard(const QString& text);
// Puts the picture on the clipboard.
void CopyImageToClipboard(const QImage& image);

// Whether the clipboard can be set only while one of the program's windows has the keyboard
// focus (Wayland without the data-control protocol). User-interface thread only.
bool ClipboardNeedsFocus();

} // namespace tarvo
