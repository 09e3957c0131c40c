#include "settings/keynames.h"
#include "settings/settings.h"

#include <QSet>
#include <gtest/gtest.h>

namespace tarvo {
namespace {

TEST(KeyNames, EveryRowConvertsBothWays)
{
    const auto table = KeyNameTable();
    ASSERT_EQ(table.size(), 156u);
    QSet<int> codes;
    for (const KeyName& k : table) {
        const QString name = QString::fromUtf16(k.name);
        SCOPED_TRACE(name.toStdString());
        EXPECT_GE(k.code, 1);
        EXPECT_LE(k.code, 254);
        codes.insert(k.code);
        EXPECT_EQ(KeyCodeToName(k.code), name);
        EXPECT_EQ(KeyNameToCode(KeyCodeToName(k.code)), k.code);
    }
    EXPECT_EQ(codes.size(), 156);
    // Digits and letters are deliberately missing.
    for (int code = 48; code <= 90; ++code) {
        if (code >= 58 && code <= 64) continue;
        EXPECT_FALSE(codes.contains(code)) << code;
    }
}

TEST(KeyNames, SampleRowsHoldTheirNames)
{
    const struct
    {
        int code;
        const char* name;
    } cases[] = {{1, "Lbutton"},
                 {8, "Back"},
                 {21, "Hangeul"},
                 {44, "Print Screen"},
                 {95, "Sleep"},
                 {96, "Numpad0"},
                 {105, "Numpad9"},
                 {112, "F1"},
                 {135, "F24"},
                 {146, "Oem Fj Jisho"},
                 {181, "Launch Media Select"},
                 {226, "Oem 102"},
                 {231, "Packet"},
                 {254, "Oem Clear"}};
    for (const auto& c : cases)
        EXPECT_EQ(KeyCodeToName(c.code), QString::fromUtf8(c.name)) << c.code;
}

TEST(KeyNames, CodesWithoutARowAreNamedByNumber)
{
    const struct
    {
        int code;
        const char* text;
    } cases[] = {{65, "KeyCode-65"},   {0, "KeyCode-0"},
                 {255, "KeyCode-255"}, {-1, "KeyCode--1"},
                 {7, "KeyCode-7"},     {48, "KeyCode-48"},
                 {94, "KeyCode-94"},   {232, "KeyCode-232"},
                 {256, "KeyCode-256"}, {INT32_MIN, "KeyCode--2147483648"}};
    for (const auto& c : cases)
        EXPECT_EQ(KeyCodeToName(c.code), QString::fromUtf8(c.text)) << c.code;
}

TEST(KeyNames, OnlyExactNamesGiveACode)
{
    const struct
    {
        const char* text;
        int code;
    } cases[] = {{"Print Screen", 44}, {"print screen", 0},  {"PRINT SCREEN", 0},
                 {"Print Screen ", 0}, {" Print Screen", 0}, {"Print", 42},
                 {"KeyCode-65", 0},    {"KeyCode-44", 0},    {"", 0},
                 {"F1", 112},          {"F10", 121},         {"Oem 1", 186}};
    for (const auto& c : cases)
        EXPECT_EQ(KeyNameToCode(QString::fromUtf8(c.text)), c.code) << c.text;
    EXPECT_EQ(KeyNameToCode(QStringView()), 0);
}

TEST(KeyNames, ListIsOrdinalAndComplete)
{
    const QStringList list = KeyNameList();
    ASSERT_EQ(list.size(), 156);
    EXPECT_EQ(QSet<QString>(list.begin(), list.end()).size(), 156);
    for (qsizetype i = 1; i < list.size(); ++i)
        EXPECT_LT(QString::compare(list[i - 1], list[i], Qt::CaseSensitive), 0) << i;
    for (const QString& name : list)
        EXPECT_NE(KeyNameToCode(name), 0) << name.toStdString();

    const QStringList head{"Accept", "Add", "Apps", "Attn", "Back", "Browser Back"};
    EXPECT_EQ(list.mid(0, head.size()), head);
    const QStringList tail{"Volume Up", "Xbutton1", "Xbutton2", "Zoom"};
    EXPECT_EQ(list.mid(list.size() - tail.size()), tail);

    // Runs that a case-insensitive or numeric sort would get wrong.
    const QStringList runs[] = {
        {"F1", "F10", "F11", "F12", "F13", "F14", "F15", "F16", "F17", "F18", "F19", "F2", "F20",
         "F21", "F22", "F23", "F24", "F3"},
        {"Numlock", "Numpad0"},
        {"Oem 1", "Oem 102", "Oem 2", "Oem 3", "Oem 4", "Oem 5", "Oem 6", "Oem 7", "Oem 8",
         "Oem Attn", "Oem Auto", "Oem Ax"},
        {"Print", "Print Screen", "Prior", "Processkey"},
    };
    for (const QStringList& run : runs) {
        const qsizetype at = list.indexOf(run.front());
        ASSERT_GE(at, 0) << run.front().toStdString();
        EXPECT_EQ(list.mid(at, run.size()), run) << run.front().toStdString();
    }
}

TEST(KeyNames, ModifiersAreAlwaysAltCtrlShiftWin)
{
    const struct
    {
        int mods;
        const char* text;
    } cases[] = {{0, ""},          {1, "Alt+"},        {2, "Ctrl+"},
                 {3, "Alt+Ctrl+"}, {4, "Shift+"},      {6, "Ctrl+Shift+"},
                 {8, "Win+"},      {12, "Shift+Win+"}, {15, "Alt+Ctrl+Shift+Win+"},
                 {16, ""},         {17, "Alt+"},       {-1, "Alt+Ctrl+Shift+Win+"}};
    for (const auto& c : cases)
        EXPECT_EQ(ModifiersToText(c.mods), QString::fromUtf8(c.text)) << c.mods;
}

TEST(KeyNames, HotkeyTextFollowsTheSettings)
{
    const SettingsRecord saved = Settings;
    const struct
    {
        int mods;
        int key;
        const char* text;
    } cases[] = {{0, 44, "Print Screen"},
                 {2, 112, "Ctrl+F1"},
                 {5, 65, "Alt+Shift+KeyCode-65"},
                 {10, 0, "Ctrl+Win+KeyCode-0"}};
    for (const auto& c : cases) {
        Settings.hotkeyMod = c.mods;
        Settings.hotkey = c.key;
        EXPECT_EQ(HotkeyText(), QString::fromUtf8(c.text)) << c.text;
    }
    Settings = saved;
}

} // namespace
} // namespace tarvo
