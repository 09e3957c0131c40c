#pragma once
// Process-wide values shared by the user-interface thread and the workers.
#include <atomic>
#include <cstdint>
#include <cstdlib>

namespace tarvo {

// Changed only by atomic increment and decrement: +1 when an upload worker starts, -1 when
// it ends; read when the tray icon is refreshed.
inline std::atomic<std::int32_t> UploadsInProgress{0};

// Set once by the exit step, never cleared; the version-check worker gives up when it sees it.
inline std::atomic<bool> Exiting{false};

// TARVO_TEST_SHORT_WAITS=1 shortens the waits the program must make, so tests of other
// behaviour need not sit through them: the splash shows for 200 ms instead of 2 s and the
// version check waits 15 x 100 ms instead of 15 s. Read once; any other value changes nothing.
inline bool ShortWaitsForTests()
{
    static const bool shortWaits = [] {
        const char* v = std::getenv("TARVO_TEST_SHORT_WAITS");
        return v && v[0] == '1' && v[1] == '\0';
    }();
    return shortWaits;
}

} // namespace tarvo
