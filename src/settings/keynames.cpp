#include "settings/keynames.h"

#include "platform/wformat.h"
#include "settings/settings.h"

namespace tarvo {

QString KeyCodeToName(std::int32_t code)
{
    if (code == 44) return QStringLiteral("Print Screen");
    return Format(u"KeyCode-%i", code);
}

std::int32_t KeyNameToCode(QStringView name) { return name == u"Print Screen" ? 44 : 0; }

QString ModifiersToText(std::int32_t mods)
{
    QString s;
    if (mods & 1) s += u"Alt+";
    if (mods & 2) s += u"Ctrl+";
    if (mods & 4) s += u"Shift+";
    if (mods & 8) s += u"Win+";
    return s;
}

QString HotkeyText() { return ModifiersToText(Settings.hotkeyMod) + KeyCodeToName(Settings.hotkey); }

QStringList KeyNameList() { return {QStringLiteral("Print Screen")}; }

} // namespace tarvo
