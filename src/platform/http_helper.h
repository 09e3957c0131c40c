#pragma once
// HTTP requests made by a short-lived copy of this program: libcurl and its TLS libraries are
// loaded in that process and go with it, so a request made once per session (the version
// check) leaves the resident program as small as it was.
#include "platform/http.h"

namespace tarvo::platform {

// HttpSend's contract, in a helper process: false when the request could not be set up,
// HttpError when the transfer fails (with libcurl's code) or the helper does. cancelled is
// polled about once a second and ends the helper; onResponse is not called.
bool HttpSendApart(const HttpRequest& request, HttpReply* reply);

// Call first in main(): in the helper this serves the request on standard input and returns
// the exit status; anywhere else it returns -1 at once.
int RunHttpHelperIfAsked();

} // namespace tarvo::platform
