#include "platform/sound.h"

#include "platform/resources.h"

#include <mutex>

namespace tarvo {

namespace {

std::mutex gPlayerLock;
SoundPlayer gPlayer;

void playWithAlsa(int, const QByteArray&) {}

} // namespace

void SetSoundPlayer(SoundPlayer player)
{
    const std::lock_guard<std::mutex> g(gPlayerLock);
    gPlayer = std::move(player);
}

void PlaySoundResource(int id)
{
    const QByteArray wave = LoadWaveResource(id);
    SoundPlayer p;
    {
        const std::lock_guard<std::mutex> g(gPlayerLock);
        p = gPlayer;
    }
    if (p) p(id, wave);
    else playWithAlsa(id, wave);
}

} // namespace tarvo
