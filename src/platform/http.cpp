#include "platform/http.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <curl/curl.h>
#include <dlfcn.h>
#include <memory>
#include <system_error>
#include <thread>

namespace tarvo::platform {

namespace {

// libcurl and its TLS, LDAP and Kerberos libraries are several megabytes of a tray program's
// memory that most sessions never need: they are loaded with the first request, not at start.
struct Curl
{
    CURLcode (*global_init)(long);
    CURL* (*easy_init)();
    CURLcode (*easy_setopt)(CURL*, CURLoption, ...);
    CURLcode (*easy_getinfo)(CURL*, CURLINFO, ...);
    CURLcode (*easy_perform)(CURL*);
    void (*easy_cleanup)(CURL*);
    const char* (*easy_strerror)(CURLcode);
    curl_slist* (*slist_append)(curl_slist*, const char*);
    void (*slist_free_all)(curl_slist*);
};

template <class F> bool resolve(void* library, const char* name, F*& to)
{
    to = reinterpret_cast<F*>(dlsym(library, name));
    return to != nullptr;
}

// The library, loaded and initialised once; null with the loader's reason when it cannot be.
const Curl* loadCurl(QString* why)
{
    static Curl curl{};
    static QString failure;
    static const bool loaded = [] {
        // Kept for the rest of the run: its TLS libraries cannot be unloaded safely anyway.
        void* library = dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL);
        const bool ok = library && resolve(library, "curl_global_init", curl.global_init) &&
                        resolve(library, "curl_easy_init", curl.easy_init) &&
                        resolve(library, "curl_easy_setopt", curl.easy_setopt) &&
                        resolve(library, "curl_easy_getinfo", curl.easy_getinfo) &&
                        resolve(library, "curl_easy_perform", curl.easy_perform) &&
                        resolve(library, "curl_easy_cleanup", curl.easy_cleanup) &&
                        resolve(library, "curl_easy_strerror", curl.easy_strerror) &&
                        resolve(library, "curl_slist_append", curl.slist_append) &&
                        resolve(library, "curl_slist_free_all", curl.slist_free_all);
        if (!ok) {
            const char* reason = dlerror();
            failure = QStringLiteral("Cannot load libcurl: %1")
                          .arg(reason ? QString::fromLocal8Bit(reason) : QStringLiteral("unknown"));
            return false;
        }
        if (curl.global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
            failure = QStringLiteral("Cannot initialise libcurl");
            return false;
        }
        return true;
    }();
    if (!loaded && why) *why = failure;
    return loaded ? &curl : nullptr;
}

struct Sink
{
    QByteArray* out;
    std::size_t limit;
    bool stopped = false; // the buffer filled up and the transfer was cut short on purpose
};

std::size_t onWrite(char* data, std::size_t size, std::size_t count, void* user)
{
    auto* sink = static_cast<Sink*>(user);
    const std::size_t total = size * count;
    const std::size_t have = static_cast<std::size_t>(sink->out->size());
    const std::size_t take = std::min(total, sink->limit - have);
    sink->out->append(data, static_cast<qsizetype>(take));
    // A short count makes libcurl stop with CURLE_WRITE_ERROR: the rest is never read.
    if (take < total) sink->stopped = true;
    return take;
}

struct HeaderWatch
{
    CURL* curl;
    const std::function<void()>* onResponse;
    bool told = false;
    curl_off_t bytes = 0; // header bytes so far; libcurl's own counts leave them out
};

std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* user)
{
    auto* watch = static_cast<HeaderWatch*>(user);
    const Curl& curl = *loadCurl(nullptr);
    const std::size_t total = size * count;
    watch->bytes += curl_off_t(total);
    // The blank line that ends a final (not 1xx) header block.
    const bool blank =
        (total == 2 && data[0] == '\r' && data[1] == '\n') || (total == 1 && data[0] == '\n');
    if (!blank || watch->told || !*watch->onResponse) return total;
    // 1xx blocks are followed by another one; only a final status counts.
    long status = 0;
    curl.easy_getinfo(watch->curl, CURLINFO_RESPONSE_CODE, &status);
    if (status >= 100 && status < 200) return total;
    watch->told = true;
    try {
        (*watch->onResponse)();
    } catch (...) {
        // Nothing may unwind through libcurl.
    }
    return total;
}

// Watches for a transfer that crawls or stands still, for one that takes too long in all, and
// for the caller giving up. libcurl calls this often while data moves and about once a second
// while it waits.
struct Progress
{
    CURL* curl;
    const std::function<bool()>* cancelled;
    const HttpTimeouts* limits;
    const HeaderWatch* headers;
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    curl_off_t movedAtMark = -1;
    std::chrono::steady_clock::time_point mark = start;
    bool stalled = false;
    bool tooLong = false;
    bool gaveUp = false;
};

int onProgress(void* user, curl_off_t, curl_off_t downloaded, curl_off_t, curl_off_t uploaded)
{
    auto* p = static_cast<Progress*>(user);
    try {
        if (*p->cancelled && (*p->cancelled)()) {
            p->gaveUp = true;
            return 1;
        }
    } catch (...) {
        p->gaveUp = true;
        return 1;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now - p->start >= p->limits->total) {
        p->tooLong = true;
        return 1;
    }
    // Connecting has its own time-out; the low-speed clock starts once the connection stands.
    curl_off_t connected = 0;
    loadCurl(nullptr)->easy_getinfo(p->curl, CURLINFO_CONNECT_TIME_T, &connected);
    const curl_off_t moved = downloaded + uploaded + p->headers->bytes;
    if (connected == 0 || p->movedAtMark < 0) {
        p->movedAtMark = moved;
        p->mark = now;
    } else if (now - p->mark >= p->limits->stall) {
        // One period is over: it must have moved enough, or the request ends.
        if (moved - p->movedAtMark < curl_off_t(p->limits->lowSpeedBytes)) {
            p->stalled = true;
            return 1;
        }
        p->movedAtMark = moved;
        p->mark = now;
    }
    return 0;
}

struct EasyDeleter
{
    void operator()(CURL* c) const { loadCurl(nullptr)->easy_cleanup(c); }
};
struct ListDeleter
{
    void operator()(curl_slist* l) const { loadCurl(nullptr)->slist_free_all(l); }
};

} // namespace

bool HttpError::unreachable() const
{
    switch (code_) {
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_OPERATION_TIMEDOUT:
        return true;
    default:
        return false;
    }
}

void PrepareHttp()
{
    // Once is enough: the library stays for the rest of the run.
    static std::atomic_flag asked = ATOMIC_FLAG_INIT;
    if (asked.test_and_set()) return;
    try {
        std::thread([] { loadCurl(nullptr); }).detach();
    } catch (const std::system_error&) {
        // No thread: the request loads it.
    }
}

bool HttpSend(const HttpRequest& request, HttpReply* reply)
{
    QString unavailable;
    const Curl* lib = loadCurl(&unavailable);
    if (!lib) throw HttpError(unavailable);
    const Curl& api = *lib;

    const std::unique_ptr<CURL, EasyDeleter> curl(api.easy_init());
    if (!curl) return false;
    CURL* c = curl.get();

    std::unique_ptr<curl_slist, ListDeleter> headers;
    for (const QByteArray& h : request.headers) {
        curl_slist* next = api.slist_append(headers.get(), h.constData());
        if (!next) return false;
        (void)headers.release();
        headers.reset(next);
    }

    QString host = request.host;
    if (host.contains(QLatin1Char(':'))) host = QLatin1Char('[') + host + QLatin1Char(']');
    const QByteArray url = request.scheme.toLatin1() + "://" + host.toUtf8() + ':' +
                           QByteArray::number(request.port) + request.target;

    QByteArray body;
    body.reserve(static_cast<qsizetype>(request.replyLimit)); // no allocation inside libcurl
    Sink sink{&body, request.replyLimit};
    HeaderWatch watch{c, &request.onResponse};
    char errorText[CURL_ERROR_SIZE] = {};

    Progress progress{c, &request.cancelled, &request.timeouts, &watch};

    bool ok = api.easy_setopt(c, CURLOPT_URL, url.constData()) == CURLE_OK;
    ok = ok && api.easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK;
    ok = ok && api.easy_setopt(c, CURLOPT_PATH_AS_IS, 1L) == CURLE_OK;
    ok = ok && api.easy_setopt(c, CURLOPT_NOSIGNAL, 1L) == CURLE_OK;
    ok = ok && api.easy_setopt(c, CURLOPT_ERRORBUFFER, errorText) == CURLE_OK;
    ok = ok && api.easy_setopt(c, CURLOPT_HTTPHEADER, headers.get()) == CURLE_OK;
    ok = ok && api.easy_setopt(c, CURLOPT_WRITEFUNCTION, &onWrite) == CURLE_OK;
    ok = ok && api.easy_setopt(c, CURLOPT_WRITEDATA, &sink) == CURLE_OK;
    ok = ok && api.easy_setopt(c, CURLOPT_HEADERFUNCTION, &onHeader) == CURLE_OK;
    ok = ok && api.easy_setopt(c, CURLOPT_HEADERDATA, &watch) == CURLE_OK;
    ok = ok && api.easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS,
                               static_cast<long>(request.timeouts.connect.count())) == CURLE_OK;
    ok = ok && api.easy_setopt(c, CURLOPT_NOPROGRESS, 0L) == CURLE_OK;
    ok = ok && api.easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &onProgress) == CURLE_OK;
    ok = ok && api.easy_setopt(c, CURLOPT_XFERINFODATA, &progress) == CURLE_OK;
    if (request.post) {
        ok = ok && api.easy_setopt(c, CURLOPT_POST, 1L) == CURLE_OK;
        ok = ok && api.easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE,
                                   static_cast<curl_off_t>(request.body.size())) == CURLE_OK;
        ok = ok && api.easy_setopt(c, CURLOPT_POSTFIELDS, request.body.constData()) == CURLE_OK;
    } else {
        ok = ok && api.easy_setopt(c, CURLOPT_HTTPGET, 1L) == CURLE_OK;
    }
    if (!ok) return false;

    const CURLcode rc = api.easy_perform(c);
    if (rc == CURLE_ABORTED_BY_CALLBACK && progress.stalled)
        throw HttpError(QStringLiteral("Timeout was reached: fewer than %1 bytes were sent or "
                                       "received in %2 ms")
                            .arg(request.timeouts.lowSpeedBytes)
                            .arg(request.timeouts.stall.count()),
                        CURLE_OPERATION_TIMEDOUT);
    if (rc == CURLE_ABORTED_BY_CALLBACK && progress.tooLong)
        throw HttpError(QStringLiteral("Timeout was reached: the request took longer than %1 ms")
                            .arg(request.timeouts.total.count()),
                        CURLE_OPERATION_TIMEDOUT);
    if (rc == CURLE_ABORTED_BY_CALLBACK && progress.gaveUp)
        throw HttpError(QStringLiteral("Request cancelled"), rc);
    if (rc != CURLE_OK && !(rc == CURLE_WRITE_ERROR && sink.stopped)) {
        const QString text = errorText[0] ? QString::fromUtf8(errorText).trimmed()
                                          : QString::fromUtf8(api.easy_strerror(rc));
        throw HttpError(text, static_cast<int>(rc));
    }
    long status = 0;
    api.easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
    if (reply) {
        reply->status = status;
        reply->body = std::move(body);
    }
    return true;
}

} // namespace tarvo::platform
