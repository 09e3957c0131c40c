#include "app/browser.h"

namespace tarvo {

bool OpenInBrowser(const QString&) { return false; }

} // namespace tarvo
