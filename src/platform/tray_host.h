#pragma once
// Which kind of tray host the session has, as the toolkit will see it.

namespace tarvo::platform {

// Whether a StatusNotifierItem watcher runs on the session bus: then the toolkit's tray icon
// is an item exported over D-Bus (on X11 too), and its context menu is the host's to show.
bool StatusNotifierWatcherRunning();

} // namespace tarvo::platform
