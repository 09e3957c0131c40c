// PostgreSQL storage through libpq, for hosts that run several stateless tarvo-server instances
// against one database. A small pool of connections, each used by one thread at a time;
// prepared statements; every parameter and result in binary format, so image bytes travel as
// they are (no bytea escaping, no hex) and nothing is ever quoted into SQL.
//
// Errors become StorageError with libpq's or the server's message. Those never carry an image's
// key (the storage never sees one); the password is cut out of them here, because libpq's URL
// parser quotes the piece of the URL it stumbles on, and that may be the password.
#include "server/connection_pool.h"
#include "server/storage.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <libpq-fe.h>
#include <mutex>
#include <string_view>
#include <utility>

namespace tarvo::server {
namespace {

constexpr std::size_t kPoolSize = 8;
constexpr auto kAcquireTimeout = std::chrono::seconds(30);
constexpr std::size_t kMaxMessage = 600;
// pg_advisory_xact_lock key for the schema set-up: servers starting at once take turns.
constexpr const char* kSchemaLockKey = "7461727630"; // "tarv0"

// Type OIDs from pg_type, fixed since forever.
constexpr Oid kByteaOid = 17;
constexpr Oid kInt8Oid = 20;
constexpr Oid kTextOid = 25;

// The schema, exactly as the README shows it. cipher is STORAGE EXTERNAL: ciphertext does not
// compress, so PostgreSQL need not try; large bodies still go out of line (TOAST).
constexpr const char* kCreateTable = "CREATE TABLE IF NOT EXISTS images ("
                                     " id bytea PRIMARY KEY CHECK (octet_length(id) = 8),"
                                     " created_at bigint NOT NULL,"
                                     " annotation text NOT NULL,"
                                     " cipher bytea NOT NULL)";
constexpr const char* kCipherStorage =
    "ALTER TABLE images ALTER COLUMN cipher SET STORAGE EXTERNAL";
constexpr const char* kCreateIndex =
    "CREATE INDEX IF NOT EXISTS images_created_at ON images (created_at)";

struct StatementSql
{
    const char* name;
    const char* sql;
    int params;
    Oid types[4];
};
constexpr StatementSql kPut{
    "tarvo_put",
    "INSERT INTO images (id, created_at, annotation, cipher) VALUES ($1, $2, $3, $4)"
    " ON CONFLICT (id) DO NOTHING",
    4,
    {kByteaOid, kInt8Oid, kTextOid, kByteaOid}};
constexpr StatementSql kGet{
    "tarvo_get", "SELECT created_at, annotation, cipher FROM images WHERE id = $1", 1, {kByteaOid}};
constexpr StatementSql kRemove{"tarvo_remove", "DELETE FROM images WHERE id = $1", 1, {kByteaOid}};
// octet_length of a TOASTed value reads its pointer, not the body.
constexpr StatementSql kList{
    "tarvo_list",
    "SELECT id, created_at, octet_length(cipher)::bigint, annotation FROM images"
    " WHERE created_at >= $1 ORDER BY created_at, id",
    1,
    {kInt8Oid}};
constexpr StatementSql kExpire{
    "tarvo_expire", "DELETE FROM images WHERE created_at < $1", 1, {kInt8Oid}};
constexpr const StatementSql* kStatements[] = {&kPut, &kGet, &kRemove, &kList, &kExpire};

// ---- keeping secrets out of messages ------------------------------------------------------

std::string PercentDecode(std::string_view text)
{
    auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hex(text[i + 1]) >= 0 &&
            hex(text[i + 2]) >= 0) {
            out += static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// Everything in a connection URL that must not reach a log: the whole URL, the password as
// written in it and decoded, and every option libpq itself treats as secret (password,
// sslpassword, whether from the userinfo or from "?password=").
class Redactor
{
public:
    explicit Redactor(const std::string& url)
    {
        Add(url);
        // The userinfo as libpq finds it: up to the first "@" that comes before any "/".
        if (const auto scheme = url.find("://"); scheme != std::string::npos) {
            const std::string_view rest = std::string_view(url).substr(scheme + 3);
            const auto end = rest.find_first_of("@/");
            if (end != std::string_view::npos && rest[end] == '@') {
                const std::string_view userinfo = rest.substr(0, end);
                if (const auto colon = userinfo.find(':'); colon != std::string_view::npos) {
                    const std::string_view password = userinfo.substr(colon + 1);
                    Add(std::string(password));
                    Add(PercentDecode(password));
                }
            }
        }
        // The query's password parameters, raw, in case libpq cannot parse the URL at all.
        if (const auto query = url.find('?'); query != std::string::npos) {
            std::string_view rest = std::string_view(url).substr(query + 1);
            while (!rest.empty()) {
                const auto amp = rest.find('&');
                const std::string_view pair = rest.substr(0, amp);
                if (const auto eq = pair.find('='); eq != std::string_view::npos) {
                    const std::string key = PercentDecode(pair.substr(0, eq));
                    if (key.find("password") != std::string::npos) {
                        Add(std::string(pair.substr(eq + 1)));
                        Add(PercentDecode(pair.substr(eq + 1)));
                    }
                }
                if (amp == std::string_view::npos) break;
                rest.remove_prefix(amp + 1);
            }
        }
        char* error = nullptr;
        if (PQconninfoOption* options = PQconninfoParse(url.c_str(), &error)) {
            for (PQconninfoOption* option = options; option->keyword; ++option) {
                if (option->val && option->dispchar && std::strchr(option->dispchar, '*'))
                    Add(option->val);
            }
            PQconninfoFree(options);
        }
        PQfreemem(error);
        // Longest first, so a secret that contains another is cut out whole.
        std::sort(secrets_.begin(), secrets_.end(),
                  [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
    }

    std::string Clean(std::string_view raw) const
    {
        std::string message(raw);
        for (const std::string& secret : secrets_) {
            for (auto at = message.find(secret); at != std::string::npos;
                 at = message.find(secret, at + 3))
                message.replace(at, secret.size(), "***");
        }
        for (char& c : message) {
            if (c == '\n' || c == '\r' || c == '\t') c = ' ';
        }
        while (!message.empty() && message.back() == ' ')
            message.pop_back();
        std::string squeezed;
        for (char c : message) {
            if (c == ' ' && !squeezed.empty() && squeezed.back() == ' ') continue;
            squeezed += c;
        }
        if (squeezed.size() > kMaxMessage) squeezed = squeezed.substr(0, kMaxMessage) + "...";
        return squeezed;
    }

    // libpq's URL parser quotes the fragment it could not read: drop every quoted fragment.
    std::string CleanParseError(std::string_view raw) const
    {
        std::string out;
        bool quoted = false;
        for (char c : raw) {
            if (c == '"') {
                out += quoted ? "\"" : "\"...";
                quoted = !quoted;
            } else if (!quoted) {
                out += c;
            }
        }
        return Clean(out);
    }

private:
    void Add(std::string secret)
    {
        // A one- or two-character "secret" would shred every message; such a password is no
        // secret anyway.
        if (secret.size() >= 3) secrets_.push_back(std::move(secret));
    }

    std::vector<std::string> secrets_;
};

// ---- libpq helpers ------------------------------------------------------------------------

struct ResultDeleter
{
    void operator()(PGresult* result) const { PQclear(result); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

void PutInt64(std::int64_t value, char (&out)[8])
{
    auto bits = static_cast<std::uint64_t>(value);
    for (int i = 7; i >= 0; --i) {
        out[i] = static_cast<char>(bits & 0xff);
        bits >>= 8;
    }
}

std::int64_t GetInt64(const PGresult* result, int row, int column)
{
    if (PQgetlength(result, row, column) != 8)
        throw StorageError("postgresql: unexpected integer width");
    const auto* bytes = reinterpret_cast<const unsigned char*>(PQgetvalue(result, row, column));
    std::uint64_t bits = 0;
    for (int i = 0; i < 8; ++i)
        bits = (bits << 8) | bytes[i];
    return static_cast<std::int64_t>(bits);
}

std::string GetBytes(const PGresult* result, int row, int column)
{
    const int size = PQgetlength(result, row, column);
    if (size <= 0) return {};
    return std::string(PQgetvalue(result, row, column), static_cast<std::size_t>(size));
}

void SilentNotices(void*, const char*) {}

// One connection and its prepared statements. Used by one thread at a time (the pool sees to
// that).
class Connection
{
public:
    Connection(const std::string& url, const Redactor& redactor) : redactor_(redactor)
    {
        // The URL comes first and expand_dbname parses it; later entries override it, earlier
        // ones are defaults it may override. client_encoding is ours: annotations are UTF-8.
        const char* keywords[] = {"connect_timeout", "fallback_application_name", "dbname",
                                  "client_encoding", nullptr};
        const char* values[] = {"10", "tarvo-server", url.c_str(), "UTF8", nullptr};
        conn_ = PQconnectdbParams(keywords, values, 1);
        if (!conn_) throw StorageError("postgresql: out of memory");
        PQsetNoticeProcessor(conn_, SilentNotices, nullptr);
        if (PQstatus(conn_) != CONNECTION_OK) {
            const std::string message = redactor_.Clean(PQerrorMessage(conn_));
            PQfinish(conn_);
            conn_ = nullptr;
            throw StorageError("postgresql: cannot connect: " + message);
        }
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection() { PQfinish(conn_); }

    // Before each use: notices a connection the server dropped while it sat idle (a restart, a
    // failover, an idle timeout) and reconnects it, so one call is not lost to a dead socket.
    void MakeUsable()
    {
        if (PQstatus(conn_) == CONNECTION_OK) {
            PQconsumeInput(conn_); // reads a pending goodbye; marks the connection bad on EOF
        }
        if (PQstatus(conn_) == CONNECTION_OK) {
            switch (PQtransactionStatus(conn_)) {
            case PQTRANS_IDLE:
                break;
            case PQTRANS_INTRANS:
            case PQTRANS_INERROR:
                Result{PQexec(conn_, "ROLLBACK")};
                break;
            default:
                PQreset(conn_);
                prepared_ = false;
            }
        }
        if (PQstatus(conn_) != CONNECTION_OK) {
            PQreset(conn_); // same parameters; a new session, so the statements are gone
            prepared_ = false;
            if (PQstatus(conn_) != CONNECTION_OK)
                throw StorageError("postgresql: cannot reconnect: " + ConnectionMessage());
        }
        if (!prepared_) Prepare();
    }

    bool Bad() const { return PQstatus(conn_) != CONNECTION_OK; }

    Result Run(const StatementSql& statement, const char* const* values, const int* lengths,
               const int* formats, ExecStatusType expected)
    {
        Result result{
            PQexecPrepared(conn_, statement.name, statement.params, values, lengths, formats, 1)};
        if (!result || PQresultStatus(result.get()) != expected)
            throw StorageError(std::string("postgresql: ") + statement.name + ": " +
                               ResultMessage(result.get()));
        return result;
    }

    void Exec(const char* sql, ExecStatusType expected = PGRES_COMMAND_OK)
    {
        Result result{PQexec(conn_, sql)};
        if (!result || PQresultStatus(result.get()) != expected)
            throw StorageError("postgresql: schema: " + ResultMessage(result.get()));
    }

    bool Exists(const char* relation)
    {
        const char* values[] = {relation};
        Result result{PQexecParams(conn_, "SELECT to_regclass($1) IS NOT NULL", 1, nullptr, values,
                                   nullptr, nullptr, 0)};
        if (!result || PQresultStatus(result.get()) != PGRES_TUPLES_OK ||
            PQntuples(result.get()) != 1)
            throw StorageError("postgresql: schema: " + ResultMessage(result.get()));
        return std::string_view(PQgetvalue(result.get(), 0, 0)) == "t";
    }

    // Creates the table and its index if they are missing. Looks before it creates: a role
    // that may use an existing table but not create one (no CREATE on the schema) still works.
    void EnsureSchema()
    {
        Exec("BEGIN");
        try {
            Exec((std::string("SELECT pg_advisory_xact_lock(") + kSchemaLockKey + ")").c_str(),
                 PGRES_TUPLES_OK);
            if (!Exists("images")) {
                Exec(kCreateTable);
                Exec(kCipherStorage);
            }
            if (!Exists("images_created_at")) Exec(kCreateIndex);
            Exec("COMMIT");
        } catch (...) {
            if (!Bad()) Result{PQexec(conn_, "ROLLBACK")};
            throw;
        }
    }

private:
    void Prepare()
    {
        for (const StatementSql* statement : kStatements) {
            Result result{PQprepare(conn_, statement->name, statement->sql, statement->params,
                                    statement->types)};
            if (!result || PQresultStatus(result.get()) != PGRES_COMMAND_OK)
                throw StorageError(std::string("postgresql: prepare ") + statement->name + ": " +
                                   ResultMessage(result.get()));
        }
        prepared_ = true;
    }

    std::string ConnectionMessage() const { return redactor_.Clean(PQerrorMessage(conn_)); }

    // The server's primary message and SQLSTATE, not the whole text: its DETAIL line can quote
    // a failing row, which would put a whole ciphertext into a log.
    std::string ResultMessage(const PGresult* result) const
    {
        if (result) {
            const char* primary = PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY);
            const char* state = PQresultErrorField(result, PG_DIAG_SQLSTATE);
            if (primary && *primary) {
                std::string message = primary;
                if (state) message += std::string(" (SQLSTATE ") + state + ")";
                return redactor_.Clean(message);
            }
            if (PQresultStatus(result) == PGRES_TUPLES_OK ||
                PQresultStatus(result) == PGRES_COMMAND_OK)
                return "unexpected result";
        }
        const std::string message = ConnectionMessage();
        return message.empty() ? "unknown error" : message;
    }

    const Redactor& redactor_;
    PGconn* conn_ = nullptr;
    bool prepared_ = false;
};

class PostgresStorage final : public Storage
{
public:
    explicit PostgresStorage(const std::string& url) : url_(url), redactor_(url)
    {
        if (!PQisthreadsafe()) throw StorageError("postgresql: libpq is built without threads");
        char* error = nullptr;
        PQconninfoOption* options = PQconninfoParse(url.c_str(), &error);
        if (!options) {
            const std::string message = error ? redactor_.CleanParseError(error) : "out of memory";
            PQfreemem(error);
            throw StorageError("postgresql: invalid database URL: " + message);
        }
        PQconninfoFree(options);
        // One connection now, so a wrong URL or an unreachable database fails at start-up, and
        // the schema is there before the first request; the others when they are needed.
        auto first = std::make_unique<Connection>(url_, redactor_);
        first->EnsureSchema();
        first->MakeUsable();
        pool_.Add(std::move(first));
    }

    PutResult Put(const StoredImage& image) override
    {
        char createdAt[8];
        PutInt64(image.createdAt, createdAt);
        const char* values[] = {reinterpret_cast<const char*>(image.id.data()), createdAt,
                                image.annotation.data(), image.cipher.data()};
        const int lengths[] = {static_cast<int>(image.id.size()), 8, Length(image.annotation),
                               Length(image.cipher)};
        const int formats[] = {1, 1, 1, 1};
        // Not retried on a broken connection: the first attempt may have committed, and a retry
        // would then call the caller's own image a duplicate.
        Lease lease(*this);
        const Result result = lease->Run(kPut, values, lengths, formats, PGRES_COMMAND_OK);
        return std::string_view(PQcmdTuples(result.get())) == "1" ? PutResult::Stored
                                                                  : PutResult::Duplicate;
    }

    std::optional<StoredImage> Get(const protocol::ImageId& id) override
    {
        const char* values[] = {reinterpret_cast<const char*>(id.data())};
        const int lengths[] = {static_cast<int>(id.size())};
        const int formats[] = {1};
        const Result result = RunReading(kGet, values, lengths, formats);
        if (PQntuples(result.get()) == 0) return std::nullopt;
        StoredImage image;
        image.id = id;
        image.createdAt = GetInt64(result.get(), 0, 0);
        image.annotation = GetBytes(result.get(), 0, 1);
        image.cipher = GetBytes(result.get(), 0, 2);
        return image;
    }

    bool Remove(const protocol::ImageId& id) override
    {
        const char* values[] = {reinterpret_cast<const char*>(id.data())};
        const int lengths[] = {static_cast<int>(id.size())};
        const int formats[] = {1};
        Lease lease(*this);
        const Result result = lease->Run(kRemove, values, lengths, formats, PGRES_COMMAND_OK);
        return std::string_view(PQcmdTuples(result.get())) != "0";
    }

    std::vector<ImageSummary> List(std::int64_t since) override
    {
        char sinceBytes[8];
        PutInt64(since, sinceBytes);
        const char* values[] = {sinceBytes};
        const int lengths[] = {8};
        const int formats[] = {1};
        const Result result = RunReading(kList, values, lengths, formats);
        const int rows = PQntuples(result.get());
        std::vector<ImageSummary> out;
        out.reserve(static_cast<std::size_t>(rows));
        for (int row = 0; row < rows; ++row) {
            ImageSummary summary;
            if (PQgetlength(result.get(), row, 0) != static_cast<int>(summary.id.size())) continue;
            std::memcpy(summary.id.data(), PQgetvalue(result.get(), row, 0), summary.id.size());
            summary.createdAt = GetInt64(result.get(), row, 1);
            summary.size = static_cast<std::size_t>(GetInt64(result.get(), row, 2));
            summary.annotation = GetBytes(result.get(), row, 3);
            out.push_back(std::move(summary));
        }
        return out;
    }

    std::size_t RemoveOlderThan(std::int64_t cutoff) override
    {
        char cutoffBytes[8];
        PutInt64(cutoff, cutoffBytes);
        const char* values[] = {cutoffBytes};
        const int lengths[] = {8};
        const int formats[] = {1};
        Lease lease(*this);
        const Result result = lease->Run(kExpire, values, lengths, formats, PGRES_COMMAND_OK);
        std::size_t count = 0;
        for (const char* digit = PQcmdTuples(result.get()); *digit >= '0' && *digit <= '9'; ++digit)
            count = count * 10 + static_cast<std::size_t>(*digit - '0');
        return count;
    }

private:
    static int Length(const std::string& bytes)
    {
        if (bytes.size() > static_cast<std::size_t>(0x3fffffff))
            throw StorageError("postgresql: value too large for one field");
        return static_cast<int>(bytes.size());
    }

    // Reads may be retried once when the connection broke under them: reading twice is
    // harmless, and a database restart then costs no request.
    Result RunReading(const StatementSql& statement, const char* const* values, const int* lengths,
                      const int* formats)
    {
        Lease lease(*this);
        try {
            return lease->Run(statement, values, lengths, formats, PGRES_TUPLES_OK);
        } catch (const StorageError&) {
            if (!lease->Bad()) throw;
        }
        lease->MakeUsable();
        return lease->Run(statement, values, lengths, formats, PGRES_TUPLES_OK);
    }

    const std::string url_;
    const Redactor redactor_;
    // A connection that went bad goes back as it is: the next lease makes it usable again.
    ConnectionPool<Connection> pool_{
        "postgresql", kPoolSize, [this] { return std::make_unique<Connection>(url_, redactor_); },
        [](Connection& c) { c.MakeUsable(); }};
    struct Lease : ConnectionPool<Connection>::Lease
    {
        explicit Lease(PostgresStorage& owner)
            : ConnectionPool<Connection>::Lease(owner.pool_, kAcquireTimeout)
        {
        }
    };
};

} // namespace

std::unique_ptr<Storage> OpenPostgresStorage(const std::string& url)
{
    return std::make_unique<PostgresStorage>(url);
}

} // namespace tarvo::server
