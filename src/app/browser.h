#pragma once
#include <QString>
#include <QStringList>

namespace tarvo {

// Opens a web address or a file path in the user's default web browser; true when a browser
// process was started.
bool OpenInBrowser(const QString& text);

} // namespace tarvo
