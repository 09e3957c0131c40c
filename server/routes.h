#pragma once
// What a request asks for, from its raw target alone. Pure functions: no storage, no I/O.
#include "protocol/token.h"

#include <optional>
#include <string_view>

namespace tarvo::server {

enum class Target
{
    Unknown,
    Post,               // <base>Post
    ImagePage,          // <base><link token>.htp or .htm
    ImageFile,          // <base><link token>.png or .jpg
    RecommendedVersion, // <base>Version.Recommended
    MinimumVersion,     // <base>Version.Minimum
    ProductPage,        // /
    TrayMenuPicture,    // /tray-menu.png
};

struct Route
{
    Target target = Target::Unknown;
    // ImagePage and ImageFile: the id and key of the link, or std::nullopt when the 20
    // characters are not a link token (answered like an unknown image).
    std::optional<protocol::LinkParts> link;
};

struct RequestTarget
{
    std::string_view path;
    std::string_view query; // after the first "?", without it
};

// Splits a request target as received ("/db/Post?id=..."); an absolute form
// ("http://host/db/...") loses its scheme and host first. Nothing is decoded.
RequestTarget SplitRequestTarget(std::string_view target);

// basePath starts and ends with "/" (Config guarantees it). The path is matched as it is:
// tokens and names are plain ASCII, so an escaped form ("%2E") is simply unknown.
Route ParseRoute(std::string_view path, std::string_view basePath);

// "post", "page", "image", "version", "product" or "other": all the log says of a request.
const char* RouteLogName(Target target);

// The delete command's argument: a link as handed out ("https://host/db/<token>.htp", with or
// without the host, query or fragment), a bare 20-character link token or a 12-character id
// token. Gives the image's id.
std::optional<protocol::ImageId> ParseImageReference(std::string_view text);

} // namespace tarvo::server
