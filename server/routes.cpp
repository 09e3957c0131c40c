#include "server/routes.h"

namespace tarvo::server {

namespace {

constexpr std::string_view kPagePng = ".htp";
constexpr std::string_view kPageJpeg = ".htm";
constexpr std::string_view kFilePng = ".png";
constexpr std::string_view kFileJpeg = ".jpg";
constexpr std::size_t kExtensionLength = 4;

std::string_view stripSchemeAndHost(std::string_view target)
{
    const std::size_t scheme = target.find("://");
    if (scheme == std::string_view::npos ||
        target.substr(0, scheme).find('/') != std::string_view::npos)
        return target;
    const std::size_t path = target.find('/', scheme + 3);
    return path == std::string_view::npos ? std::string_view("/") : target.substr(path);
}

} // namespace

RequestTarget SplitRequestTarget(std::string_view target)
{
    target = stripSchemeAndHost(target);
    const std::size_t q = target.find('?');
    if (q == std::string_view::npos) return {target, {}};
    return {target.substr(0, q), target.substr(q + 1)};
}

Route ParseRoute(std::string_view path, std::string_view basePath)
{
    if (path == "/") return {Target::ProductPage, std::nullopt};
    if (path == "/tray-menu.png") return {Target::TrayMenuPicture, std::nullopt};
    if (!path.starts_with(basePath)) return {};
    const std::string_view name = path.substr(basePath.size());
    if (name == "Post") return {Target::Post, std::nullopt};
    if (name == "Version.Recommended") return {Target::RecommendedVersion, std::nullopt};
    if (name == "Version.Minimum") return {Target::MinimumVersion, std::nullopt};
    if (name.size() != protocol::kLinkTokenLength + kExtensionLength) return {};
    const std::string_view extension = name.substr(protocol::kLinkTokenLength);
    Target target = Target::Unknown;
    if (extension == kPagePng || extension == kPageJpeg)
        target = Target::ImagePage;
    else if (extension == kFilePng || extension == kFileJpeg)
        target = Target::ImageFile;
    else
        return {};
    return {target, protocol::ParseLinkToken(name.substr(0, protocol::kLinkTokenLength))};
}

const char* RouteLogName(Target target)
{
    switch (target) {
    case Target::Post:
        return "post";
    case Target::ImagePage:
        return "page";
    case Target::ImageFile:
        return "image";
    case Target::RecommendedVersion:
    case Target::MinimumVersion:
        return "version";
    case Target::ProductPage:
    case Target::TrayMenuPicture:
        return "product";
    case Target::Unknown:
        break;
    }
    return "other";
}

std::optional<protocol::ImageId> ParseImageReference(std::string_view text)
{
    std::string_view name = SplitRequestTarget(text).path;
    name = name.substr(0, name.find('#'));
    if (const std::size_t slash = name.rfind('/'); slash != std::string_view::npos)
        name = name.substr(slash + 1);
    if (name.size() == protocol::kLinkTokenLength + kExtensionLength) {
        const std::string_view extension = name.substr(protocol::kLinkTokenLength);
        if (extension != kPagePng && extension != kPageJpeg && extension != kFilePng &&
            extension != kFileJpeg)
            return std::nullopt;
        name = name.substr(0, protocol::kLinkTokenLength);
    }
    if (name.size() == protocol::kLinkTokenLength) {
        const auto link = protocol::ParseLinkToken(name);
        if (!link) return std::nullopt;
        return link->id;
    }
    return protocol::ParseIdToken(name);
}

} // namespace tarvo::server
