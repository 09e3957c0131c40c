// What the service makes of a request target it was sent: the split, the route, the query and
// the title's escapes, and the admin command's image reference. Beyond not crashing, each
// accepted form must be one the client could have produced.
#include "check.h"
#include "protocol/annotation.h"
#include "protocol/token.h"
#include "server/query.h"
#include "server/routes.h"

#include <cstddef>
#include <cstdint>
#include <string>

using namespace tarvo;
using namespace tarvo::server;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view target(reinterpret_cast<const char*>(data), size);
    const RequestTarget split = SplitRequestTarget(target);
    FUZZ_CHECK(split.path.size() + split.query.size() <= target.size());

    const Route route = ParseRoute(split.path, "/db/");
    if (route.link) {
        // A route that carries a link names it with exactly the token the client built.
        FUZZ_CHECK(route.target == Target::ImagePage || route.target == Target::ImageFile);
        const std::string token = protocol::LinkToken(route.link->id, route.link->key);
        FUZZ_CHECK(split.path.substr(4, protocol::kLinkTokenLength) == token);
    }
    (void)RouteLogName(route.target);

    if (const auto query = ParseQuery(split.query)) {
        for (const auto& [name, value] : *query) {
            FUZZ_CHECK(name.find('&') == std::string::npos);
            FUZZ_CHECK(value.find('&') == std::string::npos);
        }
        if (const auto id = query->find("id"); id != query->end()) {
            if (const auto parsed = protocol::ParseIdToken(id->second))
                FUZZ_CHECK(protocol::IdToken(*parsed) == id->second);
        }
        if (const auto title = query->find("annotation"); title != query->end()) {
            // What decodes re-encodes to a text that decodes to the same title.
            if (const auto text = protocol::UnescapeAnnotation(title->second)) {
                const auto again = protocol::UnescapeAnnotation(protocol::EscapeAnnotation(*text));
                FUZZ_CHECK(again && *again == *text);
            }
        }
    }

    if (const auto id = ParseImageReference(target)) {
        const std::string token = protocol::IdToken(*id);
        FUZZ_CHECK(target.find(token.substr(0, 10)) != std::string_view::npos);
    }
    return 0;
}
