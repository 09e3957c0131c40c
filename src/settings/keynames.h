#pragma once
// Names of the hotkey's Windows virtual-key codes, for people, and back. Pure table logic:
// stored settings keep Windows codes, whatever the keyboard of this machine.
#include <QString>
#include <QStringList>
#include <cstdint>
#include <span>

namespace tarvo {

struct KeyName
{
    std::int32_t code;
    const char16_t* name;
};

// Every named key, in ascending code order. Digits, letters and unassigned codes have no row.
std::span<const KeyName> KeyNameTable();

QString KeyCodeToName(std::int32_t code);     // "KeyCode-%i" for a code without a name
std::int32_t KeyNameToCode(QStringView name); // 0 for a text that names no key
QString ModifiersToText(std::int32_t mods);   // "Alt+", "Ctrl+", "Shift+", "Win+" in that order
QString HotkeyText();                         // of the current settings
QStringList KeyNameList();                    // every name, in ordinal order

} // namespace tarvo
