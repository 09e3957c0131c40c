// SQLite storage: one file in a private folder, the WAL journal, and every commit on disk
// before Put returns (synchronous=FULL), so an acknowledged image survives kill -9 and power
// loss.
//
// Connections: ONE writer connection behind a mutex, and a small pool of reader connections.
// SQLite runs one write transaction at a time per database anyway; queueing our own writers on
// a mutex hands the lock over in order, where several writing connections would poll in the
// busy handler (which sleeps in growing steps, and gives up after the timeout under load). WAL
// lets readers run beside the writer, so Get and List take a pooled connection of their own.
// A pool rather than a connection per thread: the connections live and die with the storage
// object, not with the HTTP library's threads, and the number of open files stays bounded.
// The busy timeout still matters for the readers and for other processes on the same file
// (a backup with the sqlite3 shell, a second server started by mistake).
#include "server/connection_pool.h"
#include "server/storage.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sqlite3.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace tarvo::server {
namespace {

constexpr int kSchemaVersion = 1;
constexpr int kBusyTimeoutMs = 10000;
constexpr std::size_t kMaxReaders = 8;

// The schema, exactly as the README shows it. Version 1 (PRAGMA user_version).
constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS images ("
    " id BLOB PRIMARY KEY NOT NULL CHECK (length(id) = 8),"
    " created_at INTEGER NOT NULL,"
    " annotation TEXT NOT NULL,"
    " cipher BLOB NOT NULL);"
    "CREATE INDEX IF NOT EXISTS images_created_at ON images (created_at);";

std::string SystemError(const std::string& what, const std::string& path, int error)
{
    return "sqlite: " + what + " " + path + ": " + std::strerror(error);
}

[[noreturn]] void Fail(sqlite3* db, const std::string& what)
{
    throw StorageError("sqlite: " + what + ": " + (db ? sqlite3_errmsg(db) : "out of memory"));
}

std::string ParentOf(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

void SyncDirectory(const std::string& dir)
{
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return; // best effort: the entry is on disk at the next sync anyway
    ::fsync(fd);
    ::close(fd);
}

// mkdir -p with 0700 for every folder it creates. Folders that exist are left as they are:
// one given on purpose may be shared (it could be /tmp); the files in it are 0600 either way.
void MakeDirectories(const std::string& dir)
{
    struct stat st
    {
    };
    if (::stat(dir.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode)) throw StorageError("sqlite: not a folder: " + dir);
        return;
    }
    if (errno != ENOENT) throw StorageError(SystemError("cannot reach folder", dir, errno));
    const std::string parent = ParentOf(dir);
    if (parent != dir) MakeDirectories(parent);
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        throw StorageError(SystemError("cannot create folder", dir, errno));
    SyncDirectory(parent);
}

// Creates the database file 0600 before SQLite sees it (SQLite would make it 0644 less the
// umask), and tightens an existing one. The -wal and -shm files SQLite creates copy the mode of
// the database file; ones left from an earlier run are tightened too.
void MakePrivateFile(const std::string& path, bool mustExist)
{
    int flags = O_RDWR | O_CLOEXEC | O_NOFOLLOW;
    if (!mustExist) flags |= O_CREAT;
    const int fd = ::open(path.c_str(), flags, 0600);
    if (fd < 0) {
        if (mustExist && errno == ENOENT) return;
        throw StorageError(SystemError("cannot open", path, errno));
    }
    struct stat st
    {
    };
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        throw StorageError("sqlite: not a regular file: " + path);
    }
    if ((st.st_mode & 0777) != 0600 && ::fchmod(fd, 0600) != 0) {
        const int error = errno;
        ::close(fd);
        throw StorageError(SystemError("cannot make private (0600)", path, error));
    }
    ::close(fd);
}

// A prepared statement, finalized with its connection.
class Statement
{
public:
    Statement() = default;
    Statement(sqlite3* db, const char* sql)
    {
        if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr) !=
            SQLITE_OK)
            Fail(db, "prepare");
    }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    Statement(Statement&& other) noexcept : stmt_(std::exchange(other.stmt_, nullptr)) {}
    Statement& operator=(Statement&& other) noexcept
    {
        std::swap(stmt_, other.stmt_);
        return *this;
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    sqlite3_stmt* get() const { return stmt_; }

private:
    sqlite3_stmt* stmt_ = nullptr;
};

// Resets a statement and drops its bindings when a call is done with it, however it ends: the
// bound blobs point into the caller's strings, and a statement left stepping holds a read
// snapshot open (which keeps checkpoints from finishing).
class Use
{
public:
    explicit Use(const Statement& statement) : stmt_(statement.get()) {}
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;
    ~Use()
    {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }
    sqlite3_stmt* operator*() const { return stmt_; }

private:
    sqlite3_stmt* stmt_;
};

std::string ColumnBytes(sqlite3_stmt* stmt, int column)
{
    const void* data = sqlite3_column_blob(stmt, column); // NULL for a zero-length value
    const int size = sqlite3_column_bytes(stmt, column);
    if (!data || size <= 0) return {};
    return std::string(static_cast<const char*>(data), static_cast<std::size_t>(size));
}

std::string ColumnText(sqlite3_stmt* stmt, int column)
{
    const unsigned char* data = sqlite3_column_text(stmt, column);
    const int size = sqlite3_column_bytes(stmt, column);
    if (!data || size <= 0) return {};
    return std::string(reinterpret_cast<const char*>(data), static_cast<std::size_t>(size));
}

bool ColumnId(sqlite3_stmt* stmt, int column, protocol::ImageId& id)
{
    const void* data = sqlite3_column_blob(stmt, column);
    if (!data || sqlite3_column_bytes(stmt, column) != static_cast<int>(id.size())) return false;
    std::memcpy(id.data(), data, id.size());
    return true;
}

class Connection
{
public:
    enum class Role
    {
        Writer,
        Reader
    };

    Connection(const std::string& path, Role role)
    {
        int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX; // one thread at a time: ours
#ifdef SQLITE_OPEN_NOFOLLOW
        flags |= SQLITE_OPEN_NOFOLLOW;
#endif
        if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
            const std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
            sqlite3_close_v2(db_);
            db_ = nullptr;
            throw StorageError("sqlite: cannot open " + path + ": " + message);
        }
        try {
            sqlite3_extended_result_codes(db_, 1);
            sqlite3_busy_timeout(db_, kBusyTimeoutMs);
            Exec("PRAGMA trusted_schema = OFF");
            Exec("PRAGMA foreign_keys = OFF");
            // WAL is a property of the file: set once, every later connection sees it.
            if (QueryText("PRAGMA journal_mode = WAL") != "wal")
                throw StorageError("sqlite: " + path + " cannot use the WAL journal");
            // FULL: the WAL is fsynced at every commit, so a commit that returned is on disk.
            Exec("PRAGMA synchronous = FULL");
            if (role == Role::Writer) {
                // A big WAL (1 MiB images) is cut back to this after a checkpoint.
                Exec("PRAGMA journal_size_limit = 67108864");
                Migrate(path);
                put_ = Statement(db_, "INSERT INTO images (id, created_at, annotation, cipher) "
                                      "VALUES (?1, ?2, ?3, ?4)"
                                      " ON CONFLICT (id) DO NOTHING");
                remove_ = Statement(db_, "DELETE FROM images WHERE id = ?1");
                removeOlder_ = Statement(db_, "DELETE FROM images WHERE created_at < ?1");
            } else {
                Exec("PRAGMA query_only = ON");
                get_ = Statement(db_,
                                 "SELECT created_at, annotation, cipher FROM images WHERE id = ?1");
                // length() of a blob reads the record header, not the body's overflow pages.
                list_ =
                    Statement(db_, "SELECT id, created_at, length(cipher), annotation FROM images"
                                   " WHERE created_at >= ?1 ORDER BY created_at, id");
            }
        } catch (...) {
            Close();
            throw;
        }
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection()
    {
        Close();
    }

    PutResult Put(const StoredImage& image)
    {
        Use use(put_);
        // std::string::data() is never null, so an empty body binds as an empty blob, not NULL.
        sqlite3_bind_blob(*use, 1, image.id.data(), static_cast<int>(image.id.size()),
                          SQLITE_STATIC);
        sqlite3_bind_int64(*use, 2, image.createdAt);
        BindText(*use, 3, image.annotation);
        BindBlob(*use, 4, image.cipher);
        if (sqlite3_step(*use) != SQLITE_DONE) Fail(db_, "insert");
        return sqlite3_changes(db_) == 1 ? PutResult::Stored : PutResult::Duplicate;
    }

    std::optional<StoredImage> Get(const protocol::ImageId& id)
    {
        Use use(get_);
        sqlite3_bind_blob(*use, 1, id.data(), static_cast<int>(id.size()), SQLITE_STATIC);
        const int rc = sqlite3_step(*use);
        if (rc == SQLITE_DONE) return std::nullopt;
        if (rc != SQLITE_ROW) Fail(db_, "select");
        StoredImage image;
        image.id = id;
        image.createdAt = sqlite3_column_int64(*use, 0);
        image.annotation = ColumnText(*use, 1);
        image.cipher = ColumnBytes(*use, 2);
        return image;
    }

    bool Remove(const protocol::ImageId& id)
    {
        Use use(remove_);
        sqlite3_bind_blob(*use, 1, id.data(), static_cast<int>(id.size()), SQLITE_STATIC);
        if (sqlite3_step(*use) != SQLITE_DONE) Fail(db_, "delete");
        return sqlite3_changes(db_) > 0;
    }

    std::vector<ImageSummary> List(std::int64_t since)
    {
        Use use(list_);
        sqlite3_bind_int64(*use, 1, since);
        std::vector<ImageSummary> out;
        for (;;) {
            const int rc = sqlite3_step(*use);
            if (rc == SQLITE_DONE) break;
            if (rc != SQLITE_ROW) Fail(db_, "list");
            ImageSummary summary;
            if (!ColumnId(*use, 0, summary.id)) continue; // not ours: the schema forbids it
            summary.createdAt = sqlite3_column_int64(*use, 1);
            summary.size = static_cast<std::size_t>(sqlite3_column_int64(*use, 2));
            summary.annotation = ColumnText(*use, 3);
            out.push_back(std::move(summary));
        }
        return out;
    }

    std::size_t RemoveOlderThan(std::int64_t cutoff)
    {
        Use use(removeOlder_);
        sqlite3_bind_int64(*use, 1, cutoff);
        if (sqlite3_step(*use) != SQLITE_DONE) Fail(db_, "expire");
        return static_cast<std::size_t>(sqlite3_changes64(db_));
    }

private:
    static void BindText(sqlite3_stmt* stmt, int index, const std::string& text)
    {
        sqlite3_bind_text64(stmt, index, text.data(), text.size(), SQLITE_STATIC, SQLITE_UTF8);
    }
    static void BindBlob(sqlite3_stmt* stmt, int index, const std::string& bytes)
    {
        sqlite3_bind_blob64(stmt, index, bytes.data(), bytes.size(), SQLITE_STATIC);
    }

    void Exec(const char* sql)
    {
        char* error = nullptr;
        if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
            const std::string message = error ? error : sqlite3_errmsg(db_);
            sqlite3_free(error);
            throw StorageError(std::string("sqlite: ") + sql + ": " + message);
        }
    }

    std::string QueryText(const char* sql)
    {
        Statement statement(db_, sql);
        Use use(statement);
        const int rc = sqlite3_step(*use);
        if (rc == SQLITE_DONE) return {};
        if (rc != SQLITE_ROW) Fail(db_, sql);
        return ColumnText(*use, 0);
    }

    std::int64_t QueryInt(const char* sql)
    {
        Statement statement(db_, sql);
        Use use(statement);
        if (sqlite3_step(*use) != SQLITE_ROW) Fail(db_, sql);
        return sqlite3_column_int64(*use, 0);
    }

    // Creates the schema or checks the one found. IMMEDIATE: two servers started at once on the
    // same file take turns instead of both creating it.
    void Migrate(const std::string& path)
    {
        Exec("BEGIN IMMEDIATE");
        try {
            const std::int64_t version = QueryInt("PRAGMA user_version");
            if (version > kSchemaVersion)
                throw StorageError("sqlite: " + path + " has schema version " +
                                   std::to_string(version) +
                                   ", newer than this tarvo-server knows (" +
                                   std::to_string(kSchemaVersion) + ")");
            Exec(kSchema);
            if (version < kSchemaVersion)
                Exec(("PRAGMA user_version = " + std::to_string(kSchemaVersion)).c_str());
            Exec("COMMIT");
        } catch (...) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
    }

    void Close()
    {
        put_ = {};
        remove_ = {};
        removeOlder_ = {};
        get_ = {};
        list_ = {};
        if (db_) sqlite3_close_v2(db_);
        db_ = nullptr;
    }

    sqlite3* db_ = nullptr;
    Statement put_, remove_, removeOlder_; // writer
    Statement get_, list_;                 // readers
};

class SqliteStorage final : public Storage
{
public:
    explicit SqliteStorage(std::string path) : path_(std::move(path))
    {
        if (!sqlite3_threadsafe())
            throw StorageError("sqlite: the library is built without threads");
        MakeDirectories(ParentOf(path_));
        MakePrivateFile(path_, false);
        MakePrivateFile(path_ + "-wal", true);
        MakePrivateFile(path_ + "-shm", true);
        writer_ = std::make_unique<Connection>(path_, Connection::Role::Writer);
        SyncDirectory(ParentOf(path_)); // the new file's name is on disk, not only its pages
    }

    PutResult Put(const StoredImage& image) override
    {
        std::lock_guard lock(writerMutex_);
        return writer_->Put(image);
    }

    std::optional<StoredImage> Get(const protocol::ImageId& id) override
    {
        Reader reader(readers_);
        return reader->Get(id);
    }

    bool Remove(const protocol::ImageId& id) override
    {
        std::lock_guard lock(writerMutex_);
        return writer_->Remove(id);
    }

    std::vector<ImageSummary> List(std::int64_t since) override
    {
        Reader reader(readers_);
        return reader->List(since);
    }

    std::size_t RemoveOlderThan(std::int64_t cutoff) override
    {
        std::lock_guard lock(writerMutex_);
        return writer_->RemoveOlderThan(cutoff);
    }

private:
    const std::string path_;
    std::mutex writerMutex_;
    std::unique_ptr<Connection> writer_;
    // Readers are opened on first need and waited for when all are lent.
    ConnectionPool<Connection> readers_{
        "sqlite", kMaxReaders,
        [this] { return std::make_unique<Connection>(path_, Connection::Role::Reader); }};
    using Reader = ConnectionPool<Connection>::Lease;
};

} // namespace

std::unique_ptr<Storage> OpenSqliteStorage(const std::string& path)
{
    if (path.empty()) throw StorageError("sqlite: no database file given");
    return std::make_unique<SqliteStorage>(path);
}

} // namespace tarvo::server
