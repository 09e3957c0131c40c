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
        if (!a.contains(QStringLiteral("%1"))) continue;
        a.replace(QStringLiteral("%1"), text);
        substituted = true;
    }
    if (!substituted) args << text;
    return args;
}

bool OpenInBrowser(const QString& text)
{
    const QString tmpl =
        ReadRegistryText(platform::HKey::ClassesRoot, u"http\\shell\\open\\command", u"");
    if (!tmpl.isEmpty()) return platform::SpawnDetached(BrowserCommand(tmpl, text));
    if (platform::SpawnDetached({QStringLiteral("xdg-open"), text})) return true;
    QApplication::beep();
    return false;
}

} // namespace tarvo
