// Picks the storage from --database: nothing for SQLite in the data folder, a PostgreSQL URL
// for a shared database.
#include "server/storage.h"

#include <string_view>

namespace tarvo::server {

std::unique_ptr<Storage> OpenStorage(const std::string& databaseUrl, const std::string& dataDir)
{
    if (databaseUrl.empty()) {
        if (dataDir.empty()) throw StorageError("no data folder for the SQLite database");
        std::string dir = dataDir;
        while (dir.size() > 1 && dir.back() == '/')
            dir.pop_back();
        // OpenSqliteStorage creates the missing folders, 0700.
        return OpenSqliteStorage(dir == "/" ? "/images.sqlite3" : dir + "/images.sqlite3");
    }
    const std::string_view url = databaseUrl;
    if (url.starts_with("postgresql://") || url.starts_with("postgres://"))
        return OpenPostgresStorage(databaseUrl);
    // Never echo the URL: it may hold a password.
    throw StorageError("unsupported database URL scheme");
}

} // namespace tarvo::server
