#pragma once
// The default web browser as the desktop knows it.
#include <QString>
#include <optional>

namespace tarvo::platform {

// The command template (as the store's shell-open command holds it) made from the Exec line of
// the desktop entry that the mimeapps.list files name for x-scheme-handler/http; nothing when
// no handler or entry is found.
std::optional<QString> DefaultBrowserCommandTemplate();

} // namespace tarvo::platform
