#pragma once
// The two local deliveries of a fragment.
#include <QImage>

namespace tarvo {

// Puts the fragment on the clipboard as a picture, waits 500 ms, logs, plays the success sound.
void PostToClipboard(const QImage& fragment);
// Saves the fragment as the next free "screenshot_%05i.<ext>" in the target folder, reports
// the path to the main window (history) and to the clipboard, plays the success sound.
// Throws ComError on failure.
void SaveToNumberedFile(const QImage& fragment);

} // namespace tarvo
