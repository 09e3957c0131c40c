#pragma once
// The query string of a request, split but not decoded: the only parameters the service reads
// are the id (token characters, sent unescaped) and the annotation, whose "+" and "%" escapes
// are the protocol's own and are undone by protocol::UnescapeAnnotation.
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace tarvo::server {

using QueryParameters = std::map<std::string, std::string, std::less<>>;

// "a=1&b=&c" gives {a: "1", b: "", c: ""}; empty pieces ("a=1&&b=2") are skipped. A name given
// twice gives std::nullopt: two ids (or two titles) in one post are refused, not guessed at.
std::optional<QueryParameters> ParseQuery(std::string_view query);

} // namespace tarvo::server
