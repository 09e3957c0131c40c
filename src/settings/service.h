#pragma once
// Where the web service lives. The default host is set at build time (TARVO_SERVICE_HOST); the
// store value "Service URL" replaces the service address (a team's own server), and
// TARVO_SERVICE_URL (e.g. http://127.0.0.1:5000/db/) replaces both at run time. The product web
// site follows the address's scheme and host. A missing final "/" is added.
#include "tarvo_version.h"

#include <QString>

namespace tarvo {

inline constexpr QStringView kProgramVersion = u"" TARVO_VERSION_TEXT;

// The store's "Service URL", read at load; empty for none. Any thread may read the result.
void SetConfiguredServiceUrl(const QString& url);

// "http://" + host + "/db/" (always ends in "/db/" unless overridden).
QString ServiceBaseUrl();
// "http://" + host, no path.
QString ProductSiteUrl();

} // namespace tarvo
