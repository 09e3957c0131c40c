#pragma once
// The program's two wave sounds, played from its own resources through ALSA.
#include <QByteArray>
#include <optional>

namespace tarvo {

// Plays a wave resource synchronously: returns when the sound has finished. Without a sound
// device (or with a file it cannot play) it returns at once, silently.
void PlaySoundResource(int id);

// The playable part of a RIFF/WAVE file: 16-bit little-endian PCM only.
struct WavePcm
{
    int channels = 0;
    int sampleRate = 0;
    QByteArray samples; // interleaved frames, whole frames only
};

// Finds the "fmt " and "data" chunks wherever they are; nothing for a malformed file or any
// format other than 16-bit PCM.
std::optional<WavePcm> ParseWave(const QByteArray& wave);

// Plays the samples on the ALSA device named by TARVO_ALSA_DEVICE, or "default". Returns false
// when there is no device or it refuses the format; true once the samples have drained.
bool PlayPcmWithAlsa(const WavePcm& pcm);

} // namespace tarvo
