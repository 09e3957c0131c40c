#include <QString>

#include <optional>

namespace tarvo::platform {

std::optional<QString> DefaultBrowserCommandTemplate() { return std::nullopt; }

} // namespace tarvo::platform
