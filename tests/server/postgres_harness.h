#pragma once
// A private PostgreSQL 15 cluster for the tests: initdb into a temporary folder, a postmaster
// that listens on no TCP port (only a Unix socket in that folder), trust authentication, and
// everything stopped and removed again afterwards. Never touches the system's cluster.
//
// Tests run as root in CI and PostgreSQL refuses to: as root, initdb and the postmaster run as
// "nobody" and the folder belongs to that user; otherwise they run as the caller. The client
// side (libpq, psql) runs as the caller either way: the socket folder is 0700, but root passes.
//
// Use Shared(): one cluster per test process, started on first use and stopped at exit; a test
// that needs isolation asks it for a fresh database. When the PostgreSQL binaries are missing,
// Start() fails with a message saying so (tests should fail on it, not skip: CI installs them).
// The binaries are looked up in $TARVO_POSTGRES_BIN, by default /usr/lib/postgresql/15/bin.
#include <string>
#include <sys/types.h>

namespace tarvo::test {

class PostgresHarness
{
public:
    PostgresHarness() = default;
    PostgresHarness(const PostgresHarness&) = delete;
    PostgresHarness& operator=(const PostgresHarness&) = delete;
    ~PostgresHarness(); // Stop()

    // initdb, start, and wait until the server accepts connections (up to a minute). False
    // with Error() saying why (and the tail of the server's log) when any of it fails.
    bool Start();
    // Fast shutdown of the postmaster this harness started (SIGINT to its PID, then harder
    // signals if it lingers), then removes the folder. Safe to call twice.
    void Stop();

    bool Running() const { return pid_ > 0; }
    const std::string& Error() const { return error_; }

    // "postgresql:///<database>?host=<socket folder>&port=<port>&user=postgres"
    std::string Url(const std::string& database = "postgres") const;
    const std::string& SocketDir() const { return dir_; }
    int Port() const { return kPort; }
    pid_t Pid() const { return pid_; }

    // Runs SQL with psql as the superuser "postgres" (ON_ERROR_STOP; unaligned, tuples only).
    // stdout in *output when given. False with Error() set when psql fails.
    bool Sql(const std::string& sql, const std::string& database = "postgres",
             std::string* output = nullptr);
    // Creates an empty database named <prefix>_<n> and returns its URL (its name in *name when
    // given); empty when it failed.
    std::string CreateDatabase(const std::string& prefix, std::string* name = nullptr);
    // Drops a database, even with sessions still in it.
    bool DropDatabase(const std::string& name);

    // The process's one cluster, started on first call (check Running() and Error()).
    static PostgresHarness& Shared();

private:
    static constexpr int kPort = 5432; // only names the socket file; there is no TCP listener

    void Fail(const std::string& reason);
    std::string LogTail() const;

    std::string bin_;
    std::string dir_;
    std::string log_;
    pid_t pid_ = 0;
    pid_t owner_ = 0; // the process that started it; a forked child never stops it
    uid_t uid_ = 0;
    gid_t gid_ = 0;
    bool asOtherUser_ = false;
    int databases_ = 0;
    std::string error_;
};

} // namespace tarvo::test
