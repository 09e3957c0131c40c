#pragma once
// The service's HTML: the page of one image and the product page. Russian, UTF-8, no script;
// the one stylesheet is inline and allowed by its hash in the Content-Security-Policy.
#include <string>
#include <string_view>

namespace tarvo::server {

// The policy sent with every response.
const std::string& ContentSecurityPolicy();

// &, <, >, " and ' as entities; control characters as U+FFFD.
std::string EscapeHtml(std::string_view utf8);

struct ImagePageData
{
    std::string_view annotation;    // UTF-8, anyone's text
    std::string_view linkToken;     // the 20 characters: the picture is <token>.png or .jpg
    std::string_view fileExtension; // "png" or "jpg", from the decrypted bytes
    std::string_view idToken;       // its first 6 characters name the downloaded file
};
std::string ImagePage(const ImagePageData& data);

struct ProductPageData
{
    std::string_view version;     // the recommended version
    bool trayMenuPicture = false; // tray-menu.png is there to show
};
std::string ProductPage(const ProductPageData& data);

} // namespace tarvo::server
