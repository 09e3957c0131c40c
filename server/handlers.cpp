#include "server/handlers.h"

#include "protocol/annotation.h"
#include "protocol/cipher.h"
#include "server/log.h"
#include "server/pages.h"
#include "server/query.h"

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace tarvo::server {

namespace {

constexpr std::string_view kPngMagic = "\x89PNG\r\n\x1a\n";
constexpr std::string_view kJpegMagic = "\xff\xd8\xff";
// The product page's picture is a small screenshot; anything bigger is not the one meant.
constexpr std::uintmax_t kSitePictureLimit = 4 << 20;

enum class ImageType
{
    None,
    Png,
    Jpeg,
};

ImageType sniff(std::string_view bytes)
{
    if (bytes.starts_with(kPngMagic)) return ImageType::Png;
    if (bytes.starts_with(kJpegMagic)) return ImageType::Jpeg;
    return ImageType::None;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
        return lower(x) == lower(y);
    });
}

Response make(unsigned status, std::string_view contentType, std::string body)
{
    Response r;
    r.status = status;
    r.headers = {
        {"Content-Type", std::string(contentType)},
        {"Content-Security-Policy", ContentSecurityPolicy()},
        {"Referrer-Policy", "no-referrer"},
        {"Cache-Control", "private, no-store"},
        {"X-Content-Type-Options", "nosniff"},
        {"X-Frame-Options", "DENY"},
    };
    r.body = std::move(body);
    return r;
}

// One answer for every image that cannot be shown (no such id, wrong key, not a picture) and
// every unknown path, byte for byte: a probe cannot tell them apart.
Response notFound()
{
    return make(404, "text/plain; charset=utf-8", "not found");
}

Response methodNotAllowed(std::string_view allow)
{
    Response r = TextResponse(405, "method not allowed");
    r.headers.emplace_back("Allow", std::string(allow));
    return r;
}

Response storageUnavailable(const StorageError& e)
{
    Log(std::string("storage error: ") + RedactTokens(e.what()));
    return TextResponse(503, "storage unavailable");
}

std::string idPrefix(const protocol::ImageId& id)
{
    return protocol::IdToken(id).substr(0, 4);
}

bool looksLikeFile(const std::filesystem::path& path)
{
    std::error_code ec;
    return std::filesystem::is_regular_file(path, ec);
}

std::optional<std::string> readSitePicture(const std::string& siteDir)
{
    if (siteDir.empty()) return std::nullopt;
    const std::filesystem::path path = std::filesystem::path(siteDir) / "tray-menu.png";
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(path, ec);
    if (ec || size > kSitePictureLimit) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) return std::nullopt;
    if (sniff(bytes) != ImageType::Png) return std::nullopt;
    return bytes;
}

Response handlePost(Request& request, std::string_view query, Storage& storage,
                    const Config& config)
{
    if (auto refused = CheckPostHead(query, request.body.size(), config)) return *refused;
    // CheckPostHead accepted these, so they parse.
    const QueryParameters parameters = *ParseQuery(query);
    const protocol::ImageId id = *protocol::ParseIdToken(parameters.find("id")->second);
    const auto annotation = parameters.find("annotation");
    const std::u16string title = annotation == parameters.end()
                                     ? std::u16string()
                                     : *protocol::UnescapeAnnotation(annotation->second);

    if (request.body.empty()) return TextResponse(400, "empty body");
    if (request.body.size() % 8 != 0) return TextResponse(400, "body length not a multiple of 8");

    StoredImage image;
    image.id = id;
    image.cipher = std::move(request.body);
    image.annotation = protocol::ToUtf8(title);
    image.createdAt = static_cast<std::int64_t>(std::time(nullptr));
    Response r;
    try {
        r = storage.Put(image) == PutResult::Stored ? make(200, "text/plain", "OK")
                                                    : TextResponse(409, "duplicate id");
    } catch (const StorageError& e) {
        r = storageUnavailable(e);
    }
    r.idPrefix = idPrefix(id);
    return r;
}

Response handleImage(const Route& route, Storage& storage)
{
    if (!route.link) return notFound();
    std::optional<StoredImage> stored;
    try {
        stored = storage.Get(route.link->id);
    } catch (const StorageError& e) {
        return storageUnavailable(e);
    }
    if (!stored) return notFound();
    // The page needs only the type: the picture's first block and the padding's last.
    std::optional<std::string> plain = route.target == Target::ImageFile
                                           ? protocol::DecryptImage(route.link->key, stored->cipher)
                                           : protocol::DecryptHead(route.link->key, stored->cipher);
    if (!plain) return notFound();
    const ImageType type = sniff(*plain);
    if (type == ImageType::None) return notFound();
    const std::string_view extension = type == ImageType::Png ? "png" : "jpg";

    Response r;
    if (route.target == Target::ImageFile) {
        r = make(200, type == ImageType::Png ? "image/png" : "image/jpeg", std::move(*plain));
        r.headers.emplace_back("Content-Disposition", "inline");
    } else {
        const std::string idToken = protocol::IdToken(route.link->id);
        const std::string linkToken = protocol::LinkToken(route.link->id, route.link->key);
        r = make(200, "text/html; charset=utf-8",
                 ImagePage({stored->annotation, linkToken, extension, idToken}));
    }
    r.headers.emplace_back("X-Robots-Tag", "noindex, nofollow");
    return r;
}

} // namespace

const std::string* Response::Header(std::string_view name) const
{
    for (const auto& [key, value] : headers)
        if (equalsIgnoringCase(key, name)) return &value;
    return nullptr;
}

bool ReadsBody(std::string_view method, Target target)
{
    return target == Target::Post && method == "POST";
}

std::optional<Response> CheckPostHead(std::string_view query,
                                      std::optional<std::uint64_t> contentLength,
                                      const Config& config)
{
    const auto parameters = ParseQuery(query);
    if (!parameters) return TextResponse(400, "repeated query parameter");
    const auto id = parameters->find("id");
    if (id == parameters->end() || !protocol::ParseIdToken(id->second))
        return TextResponse(400, "bad id");
    if (const auto a = parameters->find("annotation");
        a != parameters->end() && !protocol::UnescapeAnnotation(a->second))
        return TextResponse(400, "bad annotation");
    if (contentLength && *contentLength > config.maxBody) return TextResponse(413, "too large");
    return std::nullopt;
}

Response HandleRequest(Request request, Storage& storage, const Config& config)
{
    const RequestTarget target = SplitRequestTarget(request.target);
    const Route route = ParseRoute(target.path, config.basePath);
    const bool get = request.method == "GET" || request.method == "HEAD";

    Response r;
    if (route.target == Target::Unknown) {
        r = notFound();
    } else if (route.target == Target::Post) {
        r = request.method == "POST" ? handlePost(request, target.query, storage, config)
                                     : methodNotAllowed("POST");
    } else if (!get) {
        r = methodNotAllowed("GET, HEAD");
    } else {
        switch (route.target) {
        case Target::ImagePage:
        case Target::ImageFile:
            r = handleImage(route, storage);
            if (r.status == 200) r.idPrefix = idPrefix(route.link->id);
            break;
        case Target::RecommendedVersion:
            r = make(200, "text/plain", config.recommendedVersion);
            break;
        case Target::MinimumVersion:
            r = make(200, "text/plain", config.minimumVersion);
            break;
        case Target::ProductPage:
            r = make(200, "text/html; charset=utf-8",
                     ProductPage({config.recommendedVersion,
                                  !config.siteDir.empty() &&
                                      looksLikeFile(std::filesystem::path(config.siteDir) /
                                                    "tray-menu.png")}));
            break;
        case Target::TrayMenuPicture:
            if (auto picture = readSitePicture(config.siteDir))
                r = make(200, "image/png", std::move(*picture));
            else
                r = notFound();
            break;
        case Target::Unknown:
        case Target::Post:
            break;
        }
    }
    r.target = route.target;
    return r;
}

Response TextResponse(unsigned status, std::string_view text)
{
    return make(status, "text/plain; charset=utf-8", std::string(text));
}

} // namespace tarvo::server
