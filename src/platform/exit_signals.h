#pragma once
// SIGTERM, SIGINT and SIGHUP (the session ending) as a call on the user-interface thread, so
// the program can end the way its exit command does instead of being cut off.
#include <functional>

namespace tarvo::platform {

// Call once, on the user-interface thread, with the application object alive. onSignal runs
// from the event loop with the signal's number. False when the signals could not be caught.
bool WatchExitSignals(std::function<void(int)> onSignal);

} // namespace tarvo::platform
