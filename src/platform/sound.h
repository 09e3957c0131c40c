#pragma once
// The program's two wave sounds, played from its own resources through ALSA.
#include <QByteArray>

#include <functional>

namespace tarvo {

// Plays a wave resource synchronously: returns when the sound has finished. Without a sound
// device (or with a file it cannot play) it returns at once, silently.
void PlaySoundResource(int id);

// Test seam: replaces the player (null restores ALSA). The player gets the resource id and
// the whole wave file.
using SoundPlayer = std::function<void(int id, const QByteArray& wave)>;
void SetSoundPlayer(SoundPlayer player);

} // namespace tarvo
