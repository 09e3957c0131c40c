#pragma once
// A deliberately raw HTTP/1.1 client for the tests: it sends exactly the bytes it is given,
// so a test can speak as the Tarvo client does, or as a slow or lying one.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvo::test {

struct HttpReply
{
    int status = 0;
    std::map<std::string, std::string> headers; // names in lower case
    std::string body;

    std::string Header(const std::string& lowerName) const;
};

// A blocking TCP connection to 127.0.0.1:port with generous receive and send time-outs (a
// hung server fails the test rather than hanging it). -1 when it cannot connect.
int Connect(std::uint16_t port);
bool SendAll(int fd, std::string_view data);
// Everything until the peer closes (or the time-out).
std::string ReadToEnd(int fd);
// "HTTP/1.1 200 OK\r\n...\r\n\r\nbody": the body is whatever follows the header block.
std::optional<HttpReply> ParseReply(std::string_view raw);

// One request on a fresh connection, "Connection: close", reply read to the end.
std::optional<HttpReply> Send(std::uint16_t port, std::string_view method, std::string_view target,
                              std::string_view body = {},
                              const std::vector<std::string>& headers = {});

// As the Tarvo client posts: the id token sent unescaped, the title already escaped.
std::optional<HttpReply> PostImage(std::uint16_t port, std::string_view idToken,
                                   std::string_view escapedTitle, std::string_view cipher);

} // namespace tarvo::test
