#pragma once
// The service's requests and answers, free of the HTTP library: the HTTP layer hands over
// what arrived and sends back what comes out, and tests call the same function in process.
#include "server/config.h"
#include "server/routes.h"
#include "server/storage.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarvo::server {

struct Request
{
    std::string method; // "GET", "HEAD", "POST", ...
    std::string target; // the request target as received: path and query, nothing decoded
    std::string body;
};

struct Response
{
    unsigned status = 200;
    // Every header to send, Content-Type and the security headers included.
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;

    // For the log line, never sent: what was asked for, and at most the first four
    // characters of the image's id token.
    Target target = Target::Unknown;
    std::string idPrefix;

    const std::string* Header(std::string_view name) const; // case-insensitive; null if none
};

// Only a post to <base>Post has its body read; every other request is answered without it.
bool ReadsBody(std::string_view method, Target target);

// The checks of a post that need no body, run before the body is read: a bad id or an
// announced length over the limit is refused without taking a byte of the body.
// contentLength: std::nullopt when the client did not announce one (chunked).
std::optional<Response> CheckPostHead(std::string_view query,
                                      std::optional<std::uint64_t> contentLength,
                                      const Config& config);

Response HandleRequest(Request request, Storage& storage, const Config& config);

// A short plain-text answer with the security headers, for the HTTP layer's own refusals.
Response TextResponse(unsigned status, std::string_view text);

} // namespace tarvo::server
