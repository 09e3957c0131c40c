#include "settings/service.h"

#include <QUrl>
#include <mutex>

#ifndef TARVO_SERVICE_HOST
#define TARVO_SERVICE_HOST "localhost:8931"
#endif

namespace tarvo {

namespace {

// Written at load on the user-interface thread, read by the upload and version workers.
std::mutex configuredLock;
QString configuredUrl;

// The address that replaces the built-in one, if any: the environment first, then the store.
QString overrideUrl()
{
    QString v = qEnvironmentVariable("TARVO_SERVICE_URL");
    if (v.isEmpty()) {
        const std::lock_guard lock(configuredLock);
        v = configuredUrl;
    }
    // Links are the base plus a token: "https://host/db" would give "https://host/dbXXXX.htp".
    if (!v.isEmpty() && !v.endsWith(u'/')) v += u'/';
    return v;
}

} // namespace

void SetConfiguredServiceUrl(const QString& url)
{
    const std::lock_guard lock(configuredLock);
    configuredUrl = url.trimmed();
}

QString ServiceBaseUrl()
{
    QString v = overrideUrl();
    if (!v.isEmpty()) return v;
    return QStringLiteral("http://" TARVO_SERVICE_HOST "/db/");
}

QString ProductSiteUrl()
{
    const QString v = overrideUrl();
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
