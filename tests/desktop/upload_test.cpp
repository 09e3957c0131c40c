// A capture to the web as a person does it: Print Screen, a drag, and the link on the clipboard,
// with a stand-in service on 127.0.0.1 that receives the encrypted picture.
#include "desktop/harness.h"
#include "support/helpers.h"
#include "support/http_server.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <gtest/gtest.h>
#include <nettle/cbc.h>
#include <nettle/des.h>
#include <optional>
#include <thread>

namespace tarvo::test {
namespace {

void desDecrypt(const void* ctx, std::size_t length, std::uint8_t* dst, const std::uint8_t* src)
{
    des_decrypt(static_cast<const des_ctx*>(ctx), length, dst, src);
}

// What the service's page does with a stored body and the key from the link.
std::optional<QByteArray> decrypt(const QByteArray& key7, const std::string& cipher)
{
    if (key7.size() != 7 || cipher.empty() || cipher.size() % 8 != 0) return std::nullopt;
    std::uint8_t key[8] = {};
    std::memcpy(key, key7.constData(), 7);
    des_ctx ctx;
    des_set_key(&ctx, key);
    std::uint8_t iv[8] = {};
    QByteArray plain(qsizetype(cipher.size()), '\0');
    cbc_decrypt(&ctx, &desDecrypt, 8, iv, cipher.size(),
                reinterpret_cast<std::uint8_t*>(plain.data()),
                reinterpret_cast<const std::uint8_t*>(cipher.data()));
    const int pad = static_cast<unsigned char>(plain.back());
    if (pad < 1 || pad > 8) return std::nullopt;
    plain.chop(pad);
    return plain;
}

class WebUpload : public ::testing::Test
{
protected:
    void start()
    {
        const QString reg = d.configHome() + "/tarvo/tarvo.reg";
        QDir().mkpath(QFileInfo(reg).absolutePath());
        QFile f(reg);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Software\\Tarvo]\n"
                "\"Destination\"=\"0\"\n");
        f.close();

        picture = ShowPicture(d, 600, 400);

        tarvo = d.startTarvo({{"TARVO_LOG", "1"},
                              {"TARVO_SERVICE_URL", server.baseUrl().toStdString()},
                              {"no_proxy", "127.0.0.1"}});
        ASSERT_TRUE(WaitUntil([&] { return d.trayHasIcon("tarvo"); }, 20s)) << "no tray icon";
        ASSERT_TRUE(WaitUntil([&] { return d.visibleWindows("^Tarvo$").empty(); }, 10s));
    }

    bool logHas(const QString& text) const { return d.readLog().contains(text); }

    HttpServer server;
    Desktop d;
    std::unique_ptr<Child> picture;
    std::unique_ptr<Child> tarvo;
};

TEST_F(WebUpload, TheEncryptedFragmentIsPostedAndItsLinkIsOnTheClipboard)
{
    start();
    ASSERT_TRUE(d.captureRectangle()) << "no overlay";
    ASSERT_TRUE(WaitUntil([&] { return logHas(": Posted to URL"); }, 20s))
        << d.readLog().toStdString();

    const auto posts = server.requests("POST");
    ASSERT_EQ(posts.size(), 1u);
    const RecordedRequest r = posts[0];
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.path, "/db/Post");
    EXPECT_EQ(r.header("Content-type"), "image/jpeg");
    EXPECT_TRUE(logHas(": Posting to: /db/Post?" + QString::fromStdString(r.query)));

    const QString link = QString::fromStdString(d.run({"xclip", "-selection", "clipboard", "-o"}));
    const QString base = server.baseUrl();
    ASSERT_TRUE(link.startsWith(base)) << link.toStdString();
    ASSERT_EQ(link.size(), base.size() + 24);
    const QByteArray raw =
        QByteArray::fromBase64(link.mid(base.size(), 20).toLatin1(), QByteArray::Base64UrlEncoding);
    ASSERT_EQ(raw.size(), 15);
    EXPECT_EQ(r.query.substr(3, 12),
              raw.left(8).toBase64(QByteArray::Base64UrlEncoding).toStdString());

    const auto plain = decrypt(raw.mid(8), r.body);
    ASSERT_TRUE(plain.has_value());
    QImage img;
    ASSERT_TRUE(img.loadFromData(*plain));
    EXPECT_EQ(img.size(), QSize(200, 150));
    EXPECT_EQ(link.endsWith(".htp"), plain->startsWith("\x89PNG"));
}

TEST_F(WebUpload, AServiceThatDoesNotSayOkLeavesTheClipboardAlone)
{
    CannedReply busy;
    busy.status = 503;
    busy.body = "busy";
    server.setReply(busy);
    start();
    d.run({"sh", "-c", "printf before | xclip -selection clipboard >/dev/null 2>&1"});
    ASSERT_TRUE(d.captureRectangle()) << "no overlay";
    ASSERT_TRUE(
        WaitUntil([&] { return logHas(": Exception: 0x80004005: Unspecified error"); }, 20s))
        << d.readLog().toStdString();
    EXPECT_TRUE(logHas(": Server replied with HTTP status 503"));
    EXPECT_EQ(d.run({"xclip", "-selection", "clipboard", "-o"}), "before");
    EXPECT_TRUE(tarvo->running());
}

} // namespace
} // namespace tarvo::test
