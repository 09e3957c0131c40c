#include "platform/hotkey.h"

#include <gtest/gtest.h>

namespace tarvo {
namespace {

TEST(HotkeyKeys, VirtualKeysMapToTheirKeysyms)
{
    struct Case
    {
        int vk;
        std::optional<std::uint32_t> sym;
    };
    const Case cases[] = {
        {44, 0xff61}, // Print Screen -> Print
        {65, 'a'},         {90, 'z'},           {48, '0'},          {57, '9'},
        {112, 0xffbe},     {135, 0xffd5}, // F1, F24
        {96, 0xffb0},      {105, 0xffb9}, // Numpad0, Numpad9
        {13, 0xff0d},      {27, 0xff1b},        {32, ' '},          {46, 0xffff},
        {0, std::nullopt}, {255, std::nullopt}, {-1, std::nullopt}, {7, std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(VirtualKeyToKeysym(c.vk), c.sym) << c.vk;
}

TEST(HotkeyKeys, ModifierBitsMapToXMasks)
{
    EXPECT_EQ(ModifiersToXMask(0), 0);
    EXPECT_EQ(ModifiersToXMask(MOD_ALT), 1 << 3);     // Mod1
    EXPECT_EQ(ModifiersToXMask(MOD_CONTROL), 1 << 2); // Control
    EXPECT_EQ(ModifiersToXMask(MOD_SHIFT), 1 << 0);   // Shift
    EXPECT_EQ(ModifiersToXMask(MOD_WIN), 1 << 6);     // Mod4
    EXPECT_EQ(ModifiersToXMask(15 | 16), (1 << 3) | (1 << 2) | 1 | (1 << 6));
}

TEST(HotkeyKeys, WithoutADisplayNothingIsGrabbedAndNothingCrashes)
{
    GlobalHotkey h([](int) {});
    EXPECT_EQ(h.Register(100, 0, 44), GlobalHotkey::Result::NoDisplay);
    h.Unregister(100);
    h.Unregister(7);
}

} // namespace
} // namespace tarvo
