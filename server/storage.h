#pragma once
// Where posted images live. One small interface, two implementations: SQLite in a data folder
// (the default, nothing to install) and PostgreSQL for hosts that run several stateless
// servers against one database. Every call may come from any of the HTTP threads at once.
#include "protocol/token.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tarvo::server {

// The database could not be reached or refused the statement. The message is safe to log:
// it never carries an image's key (the storage never sees one).
class StorageError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

struct StoredImage
{
    protocol::ImageId id{};
    std::string cipher;         // the body as posted: DES ciphertext, never served as is
    std::string annotation;     // UTF-8, already unescaped. Valid UTF-8 without NUL ("%00"):
                                // PostgreSQL's text refuses both (a StorageError there, where
                                // SQLite would store it), so the handlers refuse such a title.
    std::int64_t createdAt = 0; // seconds since the epoch, UTC
};

struct ImageSummary
{
    protocol::ImageId id{};
    std::int64_t createdAt = 0;
    std::size_t size = 0; // ciphertext bytes
    std::string annotation;
};

enum class PutResult
{
    Stored,
    Duplicate, // an image with this id exists; it was left as it was
};

class Storage
{
public:
    virtual ~Storage() = default;

    // Durable when it returns Stored: the commit is on disk (or acknowledged by the
    // database) before the caller answers OK. Throws StorageError.
    virtual PutResult Put(const StoredImage& image) = 0;
    virtual std::optional<StoredImage> Get(const protocol::ImageId& id) = 0;
    // True when an image was removed.
    virtual bool Remove(const protocol::ImageId& id) = 0;
    // Oldest first, created at or after since.
    virtual std::vector<ImageSummary> List(std::int64_t since) = 0;
    // Removes images created before cutoff; returns how many went.
    virtual std::size_t RemoveOlderThan(std::int64_t cutoff) = 0;
};

// databaseUrl empty: SQLite in dataDir (created 0700 if missing) as "images.sqlite3".
// "postgresql://..." or "postgres://...": PostgreSQL through libpq. Throws StorageError; for
// any other scheme "unsupported database URL scheme" (the URL is never echoed: it may hold a
// password).
std::unique_ptr<Storage> OpenStorage(const std::string& databaseUrl, const std::string& dataDir);

// The file (0600) and its missing parent folders (0700) are created; an existing folder keeps
// its mode. WAL journal, synchronous=FULL; schema version in PRAGMA user_version, and a newer
// one than this build knows is refused.
std::unique_ptr<Storage> OpenSqliteStorage(const std::string& path);
// A libpq URI. Connects once at open (a wrong URL or an unreachable server throws here) and
// creates the table and index if missing; a pool of up to 8 connections afterwards. Messages
// never carry the password.
std::unique_ptr<Storage> OpenPostgresStorage(const std::string& url);

} // namespace tarvo::server
