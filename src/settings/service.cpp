#include "settings/service.h"

#include <QUrl>

#ifndef TARVO_SERVICE_HOST
#define TARVO_SERVICE_HOST "localhost:8931"
#endif

namespace tarvo {

QString ServiceBaseUrl()
{
    const QString v = qEnvironmentVariable("TARVO_SERVICE_URL");
    if (!v.isEmpty()) return v;
    return QStringLiteral("http://" TARVO_SERVICE_HOST "/db/");
}

QString ProductSiteUrl()
{
    const QString v = qEnvironmentVariable("TARVO_SERVICE_URL");
    if (!v.isEmpty()) {
        const QUrl u(v);
        if (u.isValid() && !u.host().isEmpty())
            return u
                .adjusted(QUrl::RemovePath | QUrl::RemoveQuery | QUrl::RemoveFragment |
                          QUrl::RemoveUserInfo)
                .toString(QUrl::StripTrailingSlash);
    }
    return QStringLiteral("http://" TARVO_SERVICE_HOST);
}

} // namespace tarvo
