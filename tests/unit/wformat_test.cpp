#include "platform/hresult.h"
#include "platform/wformat.h"

#include <gtest/gtest.h>

namespace tarvo {
namespace {

TEST(Format, ConversionsAsTheLogAndFileNamesUseThem)
{
    EXPECT_EQ(Format(u"width=%i, height=%i", -1, -1), "width=-1, height=-1");
    EXPECT_EQ(Format(u"%sscreenshot_%05i.%s", QString("/p/"), 3, "png"), "/p/screenshot_00003.png");
    EXPECT_EQ(Format(u"Exception: 0x%08x: %s", 0x80004005u, "Unspecified error"),
              "Exception: 0x80004005: Unspecified error");
    EXPECT_EQ(Format(u"0x%08x", 0x1Au), "0x0000001a");
    EXPECT_EQ(Format(u"%%%02x", 0x2d), "%2d");
    EXPECT_EQ(Format(u"%%u%04x", 0x42f), "%u042f");
    EXPECT_EQ(Format(u"quality: %u", 95u), "quality: 95");
    EXPECT_EQ(Format(u"Unknown error 0x%0lX", 0x1234ABCDu), "Unknown error 0x1234ABCD");
    EXPECT_EQ(Format(u"KeyCode-%i", -1), "KeyCode--1");
    EXPECT_EQ(Format(u"%05i", -42), "-0042");
    EXPECT_EQ(Format(u"%-4i|", 7), "7   |");
    // %i formats the 32-bit value, as the program's integers are.
    EXPECT_EQ(Format(u"%i", 0xFFFFFFFFu), "-1");
}

TEST(Format, MissingArgumentsAndStrayPercentDoNotCrash)
{
    EXPECT_EQ(Format(u"%s and %i"), " and 0");
    EXPECT_EQ(Format(u"100%"), "100");
    EXPECT_EQ(Format(u"%q", 1), "%q");
    EXPECT_EQ(Format(u"%s", "Привет"), "Привет");
}

TEST(ErrorText, KnownCodesAndTheFallbackForms)
{
    EXPECT_EQ(ErrorMessageText(E_FAIL), "Unspecified error");
    EXPECT_EQ(ErrorMessageText(MakeHr(0x80040205u)), "IDispatch error #5");
    EXPECT_EQ(ErrorMessageText(MakeHr(0x80041234u)), "IDispatch error #4148");
    EXPECT_EQ(ErrorMessageText(MakeHr(0x8123ABCDu)), "Unknown error 0x8123ABCD");
    EXPECT_EQ(HresultFromWin32(5), MakeHr(0x80070005u));
    EXPECT_EQ(HresultFromWin32(0), 0);
    EXPECT_EQ(HresultFromWin32(-7), -7);
}

} // namespace
} // namespace tarvo
