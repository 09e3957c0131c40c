#include "platform/regfile.h"

#include <gtest/gtest.h>

namespace tarvo::platform {
namespace {

constexpr auto kKey = u"HKEY_CURRENT_USER\\Software\\Tarvo";

QString text(const RegValue* v)
{
    if (!v) return "<missing>";
    return QString(reinterpret_cast<const QChar*>(v->data.constData()), v->data.size() / 2 - 1);
}

TEST(RegFile, ReadsEveryValueForm)
{
    const auto doc = RegDocument::Parse("Windows Registry Editor Version 5.00\r\n\r\n"
                                        "[HKEY_CURRENT_USER\\Software\\Tarvo]\r\n"
                                        "\"Sounds\"=\"1\"\r\n"
                                        "\"Quoted\"=\"a \\\"b\\\" c\\\\d\"\r\n"
                                        "\"Target Folder\"=hex(2):24,00,48,00,4f,00,4d,00,\\\r\n"
                                        "  45,00,00,00\r\n"
                                        "\"Count\"=dword:0000000a\r\n"
                                        "\"Blob\"=hex:01,ff\r\n"
                                        "@=\"default\"\r\n");
    EXPECT_EQ(doc.unreadableLines(), 0);
    EXPECT_EQ(text(doc.Find(kKey, u"sounds")), "1"); // names compare case-insensitively
    EXPECT_EQ(text(doc.Find(kKey, u"Quoted")), "a \"b\" c\\d");
    const RegValue* folder = doc.Find(u"hkey_current_user\\software\\tarvo", u"Target Folder");
    ASSERT_TRUE(folder);
    EXPECT_EQ(folder->type, REG_EXPAND_SZ);
    EXPECT_EQ(text(folder), "$HOME");
    EXPECT_EQ(*doc.Find(kKey, u"Count"), MakeRegDword(10));
    EXPECT_EQ(doc.Find(kKey, u"Blob")->data, QByteArray("\x01\xff", 2));
    EXPECT_EQ(text(doc.Find(kKey, u"")), "default");
}

TEST(RegFile, UnreadableLinesAreCountedAndSkippedTheRestStillCounts)
{
    const auto doc = RegDocument::Parse("garbage header\n"
                                        "[HKEY_CURRENT_USER\\Software\\Tarvo]\n"
                                        "\"Sounds\"=\"0\"\n"
                                        "\"Broken\"=\"no end\n"
                                        "\"Bad\"=dword:xyz\n"
                                        "not a value\n"
                                        "\"Hotkey\"=\"112\"\n");
    EXPECT_EQ(doc.unreadableLines(), 4);
    EXPECT_EQ(text(doc.Find(kKey, u"Sounds")), "0");
    EXPECT_EQ(text(doc.Find(kKey, u"Hotkey")), "112");
    EXPECT_EQ(doc.Find(kKey, u"Broken"), nullptr);
}

TEST(RegFile, DeletionLinesAndDeletedKeysRemoveValues)
{
    const auto doc = RegDocument::Parse("Windows Registry Editor Version 5.00\n"
                                        "[HKEY_CURRENT_USER\\Software\\Tarvo]\n"
                                        "\"A\"=\"1\"\n\"B\"=\"2\"\n\"A\"=-\n"
                                        "[-HKEY_CURRENT_USER\\Software\\Other]\n\"C\"=\"3\"\n");
    EXPECT_EQ(doc.unreadableLines(), 0);
    EXPECT_EQ(doc.Find(kKey, u"A"), nullptr);
    EXPECT_EQ(text(doc.Find(kKey, u"B")), "2");
    EXPECT_EQ(doc.keys().size(), 1);
}

TEST(RegFile, RoundTripKeepsTypesAndTexts)
{
    RegDocument doc;
    doc.Set(kKey, u"Plain", MakeRegText(u"Привет \"мир\" C:\\dir"));
    doc.Set(kKey, u"Expand",
            MakeRegText(u"%HOME%/Pictures with a long enough tail to wrap the "
                        u"hex list over more than one line",
                        REG_EXPAND_SZ));
    doc.Set(kKey, u"Multi\"line", MakeRegText(u"a\nb"));
    doc.Set(kKey, u"Dword", MakeRegDword(0xDEADBEEF));
    doc.Set(kKey, u"Odd", RegValue{7, QByteArray("\x00\x01\x02", 3)});
    RegValue unterminated{REG_SZ, QByteArray("a\0b\0", 4)};
    doc.Set(kKey, u"NoZero", unterminated);

    const QByteArray bytes = doc.Serialize();
    EXPECT_TRUE(bytes.startsWith("Windows Registry Editor Version 5.00\n"));
    EXPECT_TRUE(bytes.contains("\"Plain\"=\"Привет \\\"мир\\\" C:\\\\dir\"\n"));
    EXPECT_TRUE(bytes.contains("\"Dword\"=dword:deadbeef\n"));
    // Texts that a quoted line cannot hold as they are go out as hex.
    EXPECT_TRUE(bytes.contains("\"Multi\\\"line\"=hex(1):"));
    EXPECT_TRUE(bytes.contains("\\\n  "));

    const auto back = RegDocument::Parse(bytes);
    EXPECT_EQ(back.unreadableLines(), 0);
    for (const auto* name : {u"Plain", u"Expand", u"Multi\"line", u"Dword", u"Odd", u"NoZero"}) {
        ASSERT_TRUE(back.Find(kKey, name)) << QString::fromUtf16(name).toStdString();
        EXPECT_EQ(*back.Find(kKey, name), *doc.Find(kKey, name));
    }
}

TEST(RegFile, Utf16ExportsAreRead)
{
    const QString text = "Windows Registry Editor Version 5.00\r\n"
                         "[HKEY_CURRENT_USER\\Software\\Tarvo]\r\n\"Annotate\"=\"1\"\r\n";
    QByteArray bytes("\xFF\xFE");
    bytes.append(reinterpret_cast<const char*>(text.utf16()), text.size() * 2);
    const auto doc = RegDocument::Parse(bytes);
    EXPECT_EQ(doc.unreadableLines(), 0);
    ASSERT_TRUE(doc.Find(kKey, u"Annotate"));
}

} // namespace
} // namespace tarvo::platform

namespace tarvo::platform {
namespace {

TEST(RegFile, LinesThatWouldNotSurviveARewriteAreUnreadable)
{
    struct Case
    {
        const char* what;
        QByteArray bytes;
        int unreadable;
    };
    const QByteArray head =
        "Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\Software\\Tarvo]\n";
    auto utf16 = [](std::u16string_view text) {
        QByteArray out("\xFF\xFE", 2);
        for (char16_t u : text)
            out += char(u & 0xFF), out += char(u >> 8);
        return out;
    };
    const Case cases[] = {
        {"invalid UTF-8", head + "\"A\"=\"caf\xE9\"\n\"B\"=\"1\"\n", 1},
        {"an overlong form", head + "\"A\"=\"\xC0\xAF\"\n\"B\"=\"1\"\n", 1},
        {"an encoded surrogate", head + "\"A\"=\"\xED\xA0\x80\"\n\"B\"=\"1\"\n", 1},
        {"a cut-off character at the end", head + "\"B\"=\"1\"\n\"A\"=\"\xD0", 1},
        {"a lone surrogate in a UTF-16 file",
         utf16(u"Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\Software\\Tarvo]\n"
               u"\"A\"=\"x\xD800y\"\n\"B\"=\"1\"\n"),
         1},
        {"valid UTF-8 everywhere", head + "\"A\"=\"кофе \xF0\x9F\x98\x80\"\n\"B\"=\"1\"\n", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const RegDocument doc = RegDocument::Parse(c.bytes);
        EXPECT_EQ(doc.unreadableLines(), c.unreadable);
        EXPECT_EQ(text(doc.Find(kKey, u"B")), "1");
        if (c.unreadable) {
            EXPECT_EQ(doc.Find(kKey, u"A"), nullptr);
        }
        // Whatever was read is written back and read again the same.
        const RegDocument again = RegDocument::Parse(doc.Serialize());
        EXPECT_EQ(again.unreadableLines(), 0);
        EXPECT_EQ(again.Serialize(), doc.Serialize());
    }
}

TEST(RegFile, TextsThatQuotedUtf8CannotHoldAreWrittenAsHex)
{
    const std::u16string_view texts[] = {u"lone \xD800 high", u"lone \xDC00 low", u"end \xD83D",
                                         u"pair \xD83D\xDE00 ok"};
    for (std::u16string_view t : texts) {
        RegDocument doc;
        const RegValue v = MakeRegText(QStringView(t.data(), qsizetype(t.size())));
        doc.Set(kKey, u"T", v);
        const RegDocument again = RegDocument::Parse(doc.Serialize());
        ASSERT_NE(again.Find(kKey, u"T"), nullptr);
        EXPECT_EQ(*again.Find(kKey, u"T"), v);
    }
}

} // namespace
} // namespace tarvo::platform
