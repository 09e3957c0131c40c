#pragma once
// Where the web service lives. The default host is set at build time (TARVO_SERVICE_HOST);
// TARVO_SERVICE_URL (e.g. http://127.0.0.1:5000/db/) replaces the service address at run
// time, and the product web site follows its scheme and host.
#include <QString>

namespace tarvo {

inline constexpr QStringView kProgramVersion = u"1.6.131";

// "http://" + host + "/db/" (always ends in "/db/" unless overridden).
QString ServiceBaseUrl();
// "http://" + host, no path.
QString ProductSiteUrl();

} // namespace tarvo
