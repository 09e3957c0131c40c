// Desktop entries, the Exec quoting of the autostart command and the browser template. The
// first byte picks the case; the rest is the input.
#include "app/browser.h"
#include "check.h"
#include "platform/desktop_entry.h"
#include "platform/process.h"
#include "platform/registry.h"

#include <QStringDecoder>
#include <cstddef>
#include <cstdint>

using namespace tarvo;
using namespace tarvo::platform;

namespace {

// A value written into an entry comes back as it was.
void execRoundTrip(const QString& command)
{
    const QString line = DesktopEntryEscape(QuoteExecArgument(command));
    const QString entry = QStringLiteral("[Desktop Entry]\nName=x\nExec=") + line +
                          QStringLiteral("\nTerminal=false\n");
    const auto exec = DesktopEntryValueIn(entry, u"Desktop Entry", u"Exec");
    FUZZ_CHECK(exec.has_value());
    FUZZ_CHECK(UnquoteExecValue(DesktopEntryUnescape(*exec)) == command);
    FUZZ_CHECK(DesktopEntryUnescape(DesktopEntryEscape(command)) == command);
}

// A template without a field code gets the link once, as the last argument; a link that holds
// "%1" or "%%" is never read as a template.
void templateRoundTrip(const QString& text)
{
    QString exec;
    for (QChar c : text) {
        exec += c;
        if (c == u'%') exec += u'%';
    }
    const QString link = QStringLiteral("http://h/%1%%u");
    const QStringList args = BrowserCommand(ExecToCommandTemplate(exec), link);
    QStringList expected = SplitCommandLine(text.trimmed());
    expected << link;
    FUZZ_CHECK(args == expected);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) return 0;
    const QByteArray bytes(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));
    QStringDecoder decode(QStringDecoder::Utf8);
    const QString text = decode(bytes);
    if (decode.hasError()) return 0;
    switch (data[0] % 3) {
    case 0: {
        // Any file: whatever is read can be unescaped and turned into a template.
        for (QStringView key : {u"Exec", u"Hidden", u"x-scheme-handler/http"}) {
            if (const auto v = DesktopEntryValueIn(text, u"Desktop Entry", key)) {
                const QString exec = DesktopEntryUnescape(*v);
                (void)BrowserCommand(ExecToCommandTemplate(exec), QStringLiteral("L"));
                (void)UnquoteExecValue(exec);
            }
        }
        break;
    }
    case 1:
        execRoundTrip(text);
        break;
    default:
        templateRoundTrip(text);
        break;
    }
    return 0;
}
