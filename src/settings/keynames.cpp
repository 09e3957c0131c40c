#include "settings/keynames.h"

#include "platform/hotkey.h"
#include "platform/wformat.h"
#include "settings/settings.h"

#include <algorithm>
#include <array>

namespace tarvo {

namespace {

constexpr std::array<KeyName, 156> kKeyNames{{
    {1, u"Lbutton"},
    {2, u"Rbutton"},
    {3, u"Cancel"},
    {4, u"Mbutton"},
    {5, u"Xbutton1"},
    {6, u"Xbutton2"},
    {8, u"Back"},
    {9, u"Tab"},
    {12, u"Clear"},
    {13, u"Return"},
    {16, u"Shift"},
    {17, u"Control"},
    {18, u"Menu"},
    {19, u"Pause"},
    {20, u"Capital"},
    {21, u"Hangeul"},
    {23, u"Junja"},
    {24, u"Final"},
    {25, u"Hanja"},
    {27, u"Escape"},
    {28, u"Convert"},
    {29, u"Nonconvert"},
    {30, u"Accept"},
    {31, u"Modechange"},
    {32, u"Space"},
    {33, u"Prior"},
    {34, u"Next"},
    {35, u"End"},
    {36, u"Home"},
    {37, u"Left"},
    {38, u"Up"},
    {39, u"Right"},
    {40, u"Down"},
    {41, u"Select"},
    {42, u"Print"},
    {43, u"Execute"},
    {44, u"Print Screen"},
    {45, u"Insert"},
    {46, u"Delete"},
    {47, u"Help"},
    {91, u"Lwin"},
    {92, u"Rwin"},
    {93, u"Apps"},
    {95, u"Sleep"},
    {96, u"Numpad0"},
    {97, u"Numpad1"},
    {98, u"Numpad2"},
    {99, u"Numpad3"},
    {100, u"Numpad4"},
    {101, u"Numpad5"},
    {102, u"Numpad6"},
    {103, u"Numpad7"},
    {104, u"Numpad8"},
    {105, u"Numpad9"},
    {106, u"Multiply"},
    {107, u"Add"},
    {108, u"Separator"},
    {109, u"Subtract"},
    {110, u"Decimal"},
    {111, u"Divide"},
    {112, u"F1"},
    {113, u"F2"},
    {114, u"F3"},
    {115, u"F4"},
    {116, u"F5"},
    {117, u"F6"},
    {118, u"F7"},
    {119, u"F8"},
    {120, u"F9"},
    {121, u"F10"},
    {122, u"F11"},
    {123, u"F12"},
    {124, u"F13"},
    {125, u"F14"},
    {126, u"F15"},
    {127, u"F16"},
    {128, u"F17"},
    {129, u"F18"},
    {130, u"F19"},
    {131, u"F20"},
    {132, u"F21"},
    {133, u"F22"},
    {134, u"F23"},
    {135, u"F24"},
    {144, u"Numlock"},
    {145, u"Scroll"},
    {146, u"Oem Fj Jisho"},
    {147, u"Oem Fj Masshou"},
    {148, u"Oem Fj Touroku"},
    {149, u"Oem Fj Loya"},
    {150, u"Oem Fj Roya"},
    {160, u"Lshift"},
    {161, u"Rshift"},
    {162, u"Lcontrol"},
    {163, u"Rcontrol"},
    {164, u"Lmenu"},
    {165, u"Rmenu"},
    {166, u"Browser Back"},
    {167, u"Browser Forward"},
    {168, u"Browser Refresh"},
    {169, u"Browser Stop"},
    {170, u"Browser Search"},
    {171, u"Browser Favorites"},
    {172, u"Browser Home"},
    {173, u"Volume Mute"},
    {174, u"Volume Down"},
    {175, u"Volume Up"},
    {176, u"Media Next Track"},
    {177, u"Media Prev Track"},
    {178, u"Media Stop"},
    {179, u"Media Play Pause"},
    {180, u"Launch Mail"},
    {181, u"Launch Media Select"},
    {182, u"Launch App1"},
    {183, u"Launch App2"},
    {186, u"Oem 1"},
    {187, u"Oem Plus"},
    {188, u"Oem Comma"},
    {189, u"Oem Minus"},
    {190, u"Oem Period"},
    {191, u"Oem 2"},
    {192, u"Oem 3"},
    {219, u"Oem 4"},
    {220, u"Oem 5"},
    {221, u"Oem 6"},
    {222, u"Oem 7"},
    {223, u"Oem 8"},
    {225, u"Oem Ax"},
    {226, u"Oem 102"},
    {227, u"Ico Help"},
    {228, u"Ico 00"},
    {229, u"Processkey"},
    {230, u"Ico Clear"},
    {231, u"Packet"},
    {233, u"Oem Reset"},
    {234, u"Oem Jump"},
    {235, u"Oem Pa1"},
    {236, u"Oem Pa2"},
    {237, u"Oem Pa3"},
    {238, u"Oem Wsctrl"},
    {239, u"Oem Cusel"},
    {240, u"Oem Attn"},
    {241, u"Oem Finish"},
    {242, u"Oem Copy"},
    {243, u"Oem Auto"},
    {244, u"Oem Enlw"},
    {245, u"Oem Backtab"},
    {246, u"Attn"},
    {247, u"Crsel"},
    {248, u"Exsel"},
    {249, u"Ereof"},
    {250, u"Play"},
    {251, u"Zoom"},
    {252, u"Noname"},
    {253, u"Pa1"},
    {254, u"Oem Clear"},
}};

constexpr bool CodesAscend()
{
    for (std::size_t i = 1; i < kKeyNames.size(); ++i)
        if (kKeyNames[i - 1].code >= kKeyNames[i].code) return false;
    return true;
}
static_assert(CodesAscend(), "one row per code, in code order");

} // namespace

std::span<const KeyName> KeyNameTable()
{
    return kKeyNames;
}

QString KeyCodeToName(std::int32_t code)
{
    const auto it = std::lower_bound(kKeyNames.begin(), kKeyNames.end(), code,
                                     [](const KeyName& k, std::int32_t c) { return k.code < c; });
    if (it != kKeyNames.end() && it->code == code) return QString::fromUtf16(it->name);
    return Format(u"KeyCode-%i", code);
}

std::int32_t KeyNameToCode(QStringView name)
{
    // Exact and case-sensitive: "print screen" or "KeyCode-65" name no key.
    for (const KeyName& k : kKeyNames)
        if (name == QStringView(k.name)) return k.code;
    return 0;
}

QString ModifiersToText(std::int32_t mods)
{
    QString s;
    if (mods & MOD_ALT) s += QStringLiteral("Alt+");
    if (mods & MOD_CONTROL) s += QStringLiteral("Ctrl+");
    if (mods & MOD_SHIFT) s += QStringLiteral("Shift+");
    if (mods & MOD_WIN) s += QStringLiteral("Win+");
    return s;
}

QString HotkeyText()
{
    return ModifiersToText(Settings.hotkeyMod) + KeyCodeToName(Settings.hotkey);
}

QStringList KeyNameList()
{
    QStringList names;
    names.reserve(qsizetype(kKeyNames.size()));
    for (const KeyName& k : kKeyNames)
        names.append(QString::fromUtf16(k.name));
    // QString's operator< compares UTF-16 code units: digits and the blank before letters,
    // upper case before lower case, a prefix before the longer name.
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace tarvo
