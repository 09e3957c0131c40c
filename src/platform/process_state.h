#pragma once
// Process-wide values shared by the user-interface thread and the workers.
#include <atomic>
#include <cstdint>

namespace tarvo {

// Changed only by atomic increment and decrement: +1 when an upload worker starts, -1 when
// it ends; read when the tray icon is refreshed.
inline std::atomic<std::int32_t> UploadsInProgress{0};

// Set once by the exit step, never cleared; the version-check worker gives up when it sees it.
inline std::atomic<bool> Exiting{false};

} // namespace tarvo
