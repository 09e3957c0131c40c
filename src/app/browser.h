#pragma once
// Opens a text (a web address or a file path) in the user's default web browser: the browser
// is started from its own command template, so a file path opens in the browser too.
#include <QString>
#include <QStringList>

namespace tarvo {

// True when a browser process was started. Without a browser template, xdg-open is asked; if
// that cannot start either, an information beep sounds.
bool OpenInBrowser(const QString& text);

// The program and arguments for a template: the template is split into arguments first, then
// every "%1" is replaced by the text, so the text stays one argument whatever it holds; a
// template without "%1" gets the text as one more argument. "%%" stands for one percent sign.
QStringList BrowserCommand(QStringView commandTemplate, const QString& text);

} // namespace tarvo
