#include "platform/sound.h"

#include "platform/resources.h"
#include "platform/services.h"

#include <alsa/asoundlib.h>
#include <cstdint>
#include <cstring>
#include <mutex>

namespace tarvo {

namespace {

std::uint32_t readLe32(const char* p)
{
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return std::uint32_t(u[0]) | std::uint32_t(u[1]) << 8 | std::uint32_t(u[2]) << 16 |
           std::uint32_t(u[3]) << 24;
}

std::uint16_t readLe16(const char* p)
{
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return std::uint16_t(u[0] | u[1] << 8);
}

// ALSA reports a missing card on stderr before failing; the program must stay quiet.
void quietAlsaErrors(const char*, int, const char*, int, const char*, ...) {}

void silenceAlsaOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { snd_lib_error_set_handler(quietAlsaErrors); });
}

QByteArray deviceName()
{
    const QByteArray env = qgetenv("TARVO_ALSA_DEVICE");
    return env.isEmpty() ? QByteArrayLiteral("default") : env;
}

void playWithAlsa(int, const QByteArray& wave)
{
    if (const auto pcm = ParseWave(wave)) PlayPcmWithAlsa(*pcm);
}

} // namespace

std::optional<WavePcm> ParseWave(const QByteArray& wave)
{
    const char* d = wave.constData();
    const qsizetype size = wave.size();
    if (size < 12 || std::memcmp(d, "RIFF", 4) != 0 || std::memcmp(d + 8, "WAVE", 4) != 0)
        return std::nullopt;

    bool haveFormat = false;
    WavePcm out;
    int blockAlign = 0;
    qsizetype pos = 12;
    while (pos + 8 <= size) {
        const std::uint32_t chunkSize = readLe32(d + pos + 4);
        const char* body = d + pos + 8;
        const qsizetype available = size - (pos + 8);
        if (std::memcmp(d + pos, "fmt ", 4) == 0) {
            if (chunkSize < 16 || available < 16) return std::nullopt;
            const std::uint16_t tag = readLe16(body);
            const std::uint16_t channels = readLe16(body + 2);
            const std::uint32_t rate = readLe32(body + 4);
            const std::uint16_t align = readLe16(body + 12);
            const std::uint16_t bits = readLe16(body + 14);
            // 1 is PCM; 0xFFFE (extensible) is accepted only when it still says 16-bit PCM.
            bool pcm = tag == 1;
            if (tag == 0xFFFE && chunkSize >= 40 && available >= 40)
                pcm = readLe16(body + 24) == 1; // sub-format GUID starts with the format tag
            if (!pcm || bits != 16 || channels == 0 || channels > 8 || rate == 0 || rate > 768000 ||
                align != channels * 2)
                return std::nullopt;
            out.channels = channels;
            out.sampleRate = int(rate);
            blockAlign = align;
            haveFormat = true;
        } else if (std::memcmp(d + pos, "data", 4) == 0) {
            if (!haveFormat) return std::nullopt;
            // A header that claims more than the file holds plays what is there.
            qsizetype bytes = qsizetype(chunkSize) < available ? qsizetype(chunkSize) : available;
            bytes -= bytes % blockAlign;
            out.samples = QByteArray(body, bytes);
            return out;
        }
        // Chunks are padded to an even size.
        const qsizetype next = pos + 8 + qsizetype(chunkSize) + (chunkSize & 1u);
        if (next <= pos) return std::nullopt;
        pos = next;
    }
    return std::nullopt;
}

bool PlayPcmWithAlsa(const WavePcm& pcm)
{
    if (pcm.channels <= 0 || pcm.sampleRate <= 0) return false;
    silenceAlsaOnce();
    snd_pcm_t* handle = nullptr;
    // Non-blocking open fails at once when the device is missing or busy, instead of waiting
    // for it; playback itself then blocks so that the call lasts as long as the sound.
    if (snd_pcm_open(&handle, deviceName().constData(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) <
        0)
        return false;
    bool ok = snd_pcm_nonblock(handle, 0) == 0 &&
              snd_pcm_set_params(handle, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED,
                                 unsigned(pcm.channels), unsigned(pcm.sampleRate), 1, 200000) == 0;
    if (ok) {
        const qsizetype frameBytes = qsizetype(pcm.channels) * 2;
        const char* data = pcm.samples.constData();
        snd_pcm_uframes_t left = snd_pcm_uframes_t(pcm.samples.size() / frameBytes);
        int setbacks = 0;
        while (left > 0) {
            const snd_pcm_sframes_t n = snd_pcm_writei(handle, data, left);
            if (n <= 0) {
                // Underruns and suspends are recovered from; a device that keeps failing (or
                // takes nothing) ends playback rather than holding the caller forever.
                if (++setbacks > 8 || (n < 0 && snd_pcm_recover(handle, int(n), 1) < 0)) {
                    ok = false;
                    break;
                }
                continue;
            }
            left -= snd_pcm_uframes_t(n);
            data += n * frameBytes;
        }
        if (ok) snd_pcm_drain(handle);
    }
    snd_pcm_close(handle);
    return ok;
}

void PlaySoundResource(int id)
{
    const QByteArray wave = LoadWaveResource(id);
    const auto services = CurrentServices();
    if (services->playSound)
        services->playSound(id, wave);
    else
        playWithAlsa(id, wave);
}

} // namespace tarvo
