#pragma once
// Names of the hotkey's Windows virtual-key codes, for people, and back.
#include <QString>
#include <QStringList>

#include <cstdint>

namespace tarvo {

QString KeyCodeToName(std::int32_t code);     // "KeyCode-%i" for a code without a name
std::int32_t KeyNameToCode(QStringView name); // 0 for a text that names no key
QString ModifiersToText(std::int32_t mods);   // "Alt+", "Ctrl+", "Shift+", "Win+" in that order
QString HotkeyText();                         // of the current settings
QStringList KeyNameList();                    // every name, in ordinal order

} // namespace tarvo
