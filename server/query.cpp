#include "server/query.h"

namespace tarvo::server {

std::optional<QueryParameters> ParseQuery(std::string_view query)
{
    QueryParameters parameters;
    while (!query.empty()) {
        const std::size_t amp = query.find('&');
        const std::string_view piece = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        if (piece.empty()) continue;
        const std::size_t eq = piece.find('=');
        const std::string_view name = piece.substr(0, eq);
        const std::string_view value =
            eq == std::string_view::npos ? std::string_view() : piece.substr(eq + 1);
        if (!parameters.emplace(std::string(name), std::string(value)).second) return std::nullopt;
    }
    return parameters;
}

} // namespace tarvo::server
