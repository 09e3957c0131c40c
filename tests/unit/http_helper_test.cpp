#include "platform/http_helper.h"
#include "support/http_server.h"
#include "support/temp_env.h"

#include <gtest/gtest.h>
#include <optional>

namespace tarvo {
namespace {

struct Outcome
{
    bool setUp = false;
    long status = 0;
    QByteArray body;
    std::optional<int> error; // libcurl's code of a transfer failure
    bool unreachable = false;

    bool operator==(const Outcome&) const = default;
};

Outcome send(bool apart, const platform::HttpRequest& request)
{
    Outcome out;
    try {
        platform::HttpReply reply;
        out.setUp =
            apart ? platform::HttpSendApart(request, &reply) : platform::HttpSend(request, &reply);
        out.status = reply.status;
        out.body = reply.body;
    } catch (const platform::HttpError& e) {
        out.error = e.code();
        out.unreachable = e.unreachable();
    }
    return out;
}

// The helper is a drop-in for the request in this process: the same reply, the same failures.
TEST(HttpApart, AnswersAsTheRequestInThisProcessWould)
{
    test::TempHome home;
    home.env().set("no_proxy", "127.0.0.1");
    test::HttpServer server([](const test::RecordedRequest& r) {
        return test::Reply(r.method == "POST" ? 201 : 404, r.body.empty() ? "none" : r.body);
    });
    struct Case
    {
        const char* what;
        bool post;
        int port;
        QByteArray body;
        std::size_t limit;
    };
    const Case cases[] = {
        {"get, refused", false, server.port(), {}, 100},
        {"post, body echoed", true, server.port(), QByteArray("pixels\0and more", 15), 100},
        {"reply longer than the limit", true, server.port(), QByteArray(5000, 'x'), 15},
        {"nobody listens", false, test::ClosedPort(), {}, 100},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        platform::HttpRequest request;
        request.post = c.post;
        request.host = QStringLiteral("127.0.0.1");
        request.port = c.port;
        request.target = "/db/x";
        request.headers = {"User-Agent: Tarvo/test"};
        request.body = c.body;
        request.replyLimit = c.limit;
        const Outcome here = send(false, request);
        EXPECT_EQ(send(true, request), here);
        if (c.port != server.port())
            EXPECT_TRUE(here.unreachable);
        else
            EXPECT_EQ(here.body, c.body.isEmpty() ? "none" : c.body.left(qsizetype(c.limit)));
    }
}

} // namespace
} // namespace tarvo
