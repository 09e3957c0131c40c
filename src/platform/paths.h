#pragma once
#include <QString>

namespace tarvo::platform {

// XDG base directories, as freedesktop.org defines them (a relative value
// in the environment is ignored).
QString ConfigHome(); // $XDG_CONFIG_HOME or ~/.config
QString StateHome();  // $XDG_STATE_HOME or ~/.local/state
QString RuntimeDir(); // $XDG_RUNTIME_DIR, or a private fallback folder

QString ModuleFileName(); // the program's own full path (/proc/self/exe)

// Creates the folder and its parents; true when it exists afterwards.
bool MakePath(const QString& dir);

} // namespace tarvo::platform
