#include "app/browser.h"

#include "platform/process.h"
#include "settings/settings.h"

#include <QApplication>

namespace tarvo {

QStringList BrowserCommand(QStringView commandTemplate, const QString& text)
{
    QStringList args = platform::SplitCommandLine(commandTemplate);
    bool substituted = false;
    for (QString& a : args) {
        // One pass: "%1" is the text, "%%" a percent sign, and nothing inserted is read again.
        QString out;
        for (qsizetype i = 0; i < a.size(); ++i) {
            if (a[i] == u'%' && i + 1 < a.size() && (a[i + 1] == u'1' || a[i + 1] == u'%')) {
                if (a[++i] == u'1') {
                    out += text;
                    substituted = true;
                } else {
                    out += u'%';
                }
            } else {
                out += a[i];
            }
        }
        a = out;
    }
    if (!substituted) args << text;
    return args;
}

bool OpenInBrowser(const QString& text)
{
    const QString tmpl =
        ReadRegistryText(platform::HKey::ClassesRoot, u"http\\shell\\open\\command", u"");
    if (!tmpl.isEmpty()) return platform::SpawnDetached(BrowserCommand(tmpl, text));
    if (platform::OpenWithDesktop(text)) return true;
    QApplication::beep();
    return false;
}

} // namespace tarvo
