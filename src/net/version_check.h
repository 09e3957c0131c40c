#pragma once
// The once-per-start check of the service's recommended and minimum program versions.
#include "platform/http.h"

#include <QString>
#include <QStringView>
#include <functional>

namespace tarvo {

// True when version text a is older than b. Each text is read as "%i.%i.%i" the way C's
// scanf reads it (blanks skipped, a sign, 0x for hex, a leading 0 for octal); numbers that
// cannot be read are 0 and whatever follows the third is ignored.
bool IsOlderVersion(QStringView a, QStringView b);

// The text the service holds under name (at most 15 bytes of the reply), or the empty text
// when the program is exiting or the address cannot be parsed. Throws platform::HttpError
// when the service cannot be reached.
QString FetchServerValue(const QString& name,
                         const platform::HttpTimeouts& timeouts = platform::HttpTimeouts());

struct VersionCheckHooks
{
    // Opens the product web site; the result is not examined.
    std::function<bool(const QString& url)> openBrowser;
    // Shows the Yes/No box with string textId on the user-interface thread and waits for it;
    // true for Yes. Null: AskOnUiThread.
    std::function<bool(int textId)> ask;
    // One step of the start delay. Null: one second.
    std::function<void()> waitStep;
    platform::HttpTimeouts timeouts;
};

// The worker's body, on the calling thread. Never throws.
void RunVersionCheck(const VersionCheckHooks& hooks);
// Starts the check, with the real wait and message boxes, on a detached thread.
void StartVersionCheck(std::function<bool(const QString& url)> openBrowser);

// The box with caption string 100, text string textId, Yes and No and no icon, run by the
// user-interface thread while the caller waits; false without an application object.
bool AskOnUiThread(int textId);

} // namespace tarvo
