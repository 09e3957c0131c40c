#include "platform/resources.h"
#include "platform/services.h"
#include "platform/sound.h"
#include "support/temp_env.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace tarvo {
namespace {

QByteArray le(quint32 v, int bytes)
{
    QByteArray out;
    for (int i = 0; i < bytes; ++i)
        out += char((v >> (8 * i)) & 0xFF);
    return out;
}
QByteArray le16(int v)
{
    return le(quint32(v), 2);
}
QByteArray le32(quint32 v)
{
    return le(v, 4);
}
QByteArray chunk(const char* id, const QByteArray& body, quint32 declared = 0xFFFFFFFFu)
{
    QByteArray c =
        QByteArray(id, 4) + le32(declared == 0xFFFFFFFFu ? body.size() : declared) + body;
    if (body.size() % 2) c += '\0';
    return c;
}
QByteArray fmt(int tag, int channels, int rate, int bits)
{
    const int align = channels * bits / 8;
    return le16(tag) + le16(channels) + le32(rate) + le32(rate * align) + le16(align) + le16(bits);
}
QByteArray riff(const QByteArray& chunks)
{
    return "RIFF" + le32(4 + chunks.size()) + "WAVE" + chunks;
}

TEST(ParseWave, FindsChunksAnywhereAndKeepsWholeFrames)
{
    const QByteArray samples("\x01\x02\x03\x04\x05\x06\x07\x08", 8);
    // An odd-sized chunk (padded) between "fmt " and "data".
    const auto a = ParseWave(
        riff(chunk("fmt ", fmt(1, 2, 22050, 16)) + chunk("LIST", "abc") + chunk("data", samples)));
    ASSERT_TRUE(a);
    EXPECT_EQ(a->channels, 2);
    EXPECT_EQ(a->sampleRate, 22050);
    EXPECT_EQ(a->samples, samples);

    // A data chunk that claims more than the file holds plays what is there, in whole frames.
    const auto b = ParseWave(riff(chunk("fmt ", fmt(1, 2, 8000, 16)) + QByteArray("data") +
                                  le32(1000) + samples.left(7)));
    ASSERT_TRUE(b);
    EXPECT_EQ(b->samples, samples.left(4));

    // A longer "fmt " chunk (with an extension size) is fine.
    const auto c =
        ParseWave(riff(chunk("fmt ", fmt(1, 1, 8000, 16) + le16(0)) + chunk("data", samples)));
    ASSERT_TRUE(c);
    EXPECT_EQ(c->channels, 1);
}

TEST(ParseWave, RejectsWhatItCannotPlay)
{
    const QByteArray data = chunk("data", QByteArray(16, '\0'));
    QByteArray extensibleFloat =
        fmt(0xFFFE, 2, 44100, 16) + le16(22) + le16(16) + le32(3) + le16(3) + QByteArray(14, '\0');
    const struct
    {
        const char* name;
        QByteArray wave;
    } cases[] = {
        {"empty", QByteArray()},
        {"not RIFF", "RIFX" + riff(chunk("fmt ", fmt(1, 1, 8000, 16)) + data).mid(4)},
        {"not WAVE", riff(chunk("fmt ", fmt(1, 1, 8000, 16)) + data).replace("WAVE", "AVI ")},
        {"8-bit", riff(chunk("fmt ", fmt(1, 1, 8000, 8)) + data)},
        {"24-bit", riff(chunk("fmt ", fmt(1, 1, 8000, 24)) + data)},
        {"float", riff(chunk("fmt ", fmt(3, 1, 8000, 16)) + data)},
        {"extensible float", riff(chunk("fmt ", extensibleFloat) + data)},
        {"no channels", riff(chunk("fmt ", fmt(1, 0, 8000, 16)) + data)},
        {"no rate", riff(chunk("fmt ", fmt(1, 1, 0, 16)) + data)},
        {"short fmt", riff(chunk("fmt ", fmt(1, 1, 8000, 16).left(12)) + data)},
        {"data first", riff(data + chunk("fmt ", fmt(1, 1, 8000, 16)))},
        {"no data", riff(chunk("fmt ", fmt(1, 1, 8000, 16)))},
        {"truncated header", riff(chunk("fmt ", fmt(1, 1, 8000, 16))).left(20)},
        {"huge chunk",
         riff(chunk("LIST", "ab", 0xFFFFFFF0u) + chunk("fmt ", fmt(1, 1, 8000, 16)) + data)},
    };
    for (const auto& c : cases)
        EXPECT_FALSE(ParseWave(c.wave)) << c.name;

    QByteArray extensiblePcm =
        fmt(0xFFFE, 2, 44100, 16) + le16(22) + le16(16) + le32(3) + le16(1) + QByteArray(14, '\0');
    EXPECT_TRUE(ParseWave(riff(chunk("fmt ", extensiblePcm) + data)));
}

class AlsaPlayback : public ::testing::Test
{
protected:
    const ScopedServices real{Services{}}; // the ALSA player, whatever a test before set
    test::ScopedEnv env;
    QTemporaryDir dir;
};

// ALSA's built-in "file" plugin records what a program plays, with no sound card at all.
TEST_F(AlsaPlayback, PlaysTheSamplesOfTheWave)
{
    // 137 is mono, 138 stereo, both 16-bit at 44.1 kHz.
    EXPECT_EQ(ParseWave(LoadWaveResource(IDW_SUCCESS))->channels, 1);
    EXPECT_EQ(ParseWave(LoadWaveResource(IDW_FAILURE))->channels, 2);
    EXPECT_EQ(ParseWave(LoadWaveResource(IDW_FAILURE))->sampleRate, 44100);
    for (int id : {IDW_SUCCESS, IDW_FAILURE}) {
        const QString raw = dir.path() + QStringLiteral("/%1.raw").arg(id);
        env.set("TARVO_ALSA_DEVICE", "file:'" + QFile::encodeName(raw) + "',raw");
        PlaySoundResource(id);
        QFile f(raw);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly)) << id;
        EXPECT_EQ(f.readAll(), ParseWave(LoadWaveResource(id))->samples) << id;
    }
}

TEST_F(AlsaPlayback, WithoutADeviceReturnsAtOnceAndQuietly)
{
    env.set("TARVO_ALSA_DEVICE", "hw:97");
    const auto pcm = ParseWave(LoadWaveResource(IDW_FAILURE));
    ASSERT_TRUE(pcm);
    testing::internal::CaptureStderr();
    QElapsedTimer t;
    t.start();
    EXPECT_FALSE(PlayPcmWithAlsa(*pcm));
    PlaySoundResource(IDW_FAILURE);
    const qint64 ms = t.elapsed();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_LT(ms, 300); // the sound itself lasts about 640 ms
    EXPECT_EQ(err, "");
}

} // namespace
} // namespace tarvo
