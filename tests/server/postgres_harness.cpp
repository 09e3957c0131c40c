#include "server/postgres_harness.h"

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <optional>
#include <pwd.h>
#include <signal.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace tarvo::test {
namespace {

using namespace std::chrono_literals;

struct Credentials
{
    uid_t uid;
    gid_t gid;
};

// The environment for every program started here, without PG* variables: a PGPORT or
// PGOPTIONS from the caller's shell must not redirect or reconfigure the test cluster.
std::vector<std::string> CleanEnvironment()
{
    std::vector<std::string> out;
    for (char** entry = environ; entry && *entry; ++entry) {
        if (std::strncmp(*entry, "PG", 2) == 0) continue;
        out.emplace_back(*entry);
    }
    return out;
}

std::vector<char*> Pointers(std::vector<std::string>& strings)
{
    std::vector<char*> out;
    out.reserve(strings.size() + 1);
    for (auto& s : strings)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

// Forks and executes argv[0]. In the child: the credentials when given (and a parent-death
// signal, so a test process killed by a timeout takes its postmaster along), cwd, stdin from
// /dev/null, stdout to outFd, stderr to errFd. Only async-signal-safe calls after fork: the
// test process may have threads. Returns the child's PID, or -1.
pid_t Spawn(std::vector<std::string> argv, const std::optional<Credentials>& as,
            const std::string& cwd, int outFd, int errFd, int deathSignal)
{
    std::vector<std::string> env = CleanEnvironment();
    std::vector<char*> argvp = Pointers(argv);
    std::vector<char*> envp = Pointers(env);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid != 0) return pid;

    if (as) {
        if (setgroups(0, nullptr) != 0 || setgid(as->gid) != 0 || setuid(as->uid) != 0) _exit(126);
    }
    // After setuid: changing credentials clears the parent-death signal.
    if (deathSignal && (prctl(PR_SET_PDEATHSIG, deathSignal) != 0 || getppid() != parent))
        _exit(125);
    if (chdir(cwd.c_str()) != 0) _exit(124);
    const int devNull = open("/dev/null", O_RDONLY);
    if (devNull >= 0) dup2(devNull, 0);
    if (outFd >= 0) dup2(outFd, 1);
    if (errFd >= 0) dup2(errFd, 2);
    execve(argvp[0], argvp.data(), envp.data());
    _exit(127);
}

// Waits for a child; its exit status (128+signal when killed), or -1 on timeout.
int WaitFor(pid_t pid, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (done < 0 && errno != EINTR) return -2;
        if (std::chrono::steady_clock::now() >= deadline) return -1;
        std::this_thread::sleep_for(20ms);
    }
}

// Runs a program to its end; exit status, with stdout and stderr in *output.
int Run(const std::vector<std::string>& argv, const std::optional<Credentials>& as,
        const std::string& cwd, std::string* output, std::chrono::milliseconds timeout = 120s)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return -3;
    const pid_t pid = Spawn(argv, as, cwd, fds[1], fds[1], 0);
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        return -3;
    }
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(fds[0], buffer, sizeof buffer);
        if (n > 0) {
            text.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        break;
    }
    close(fds[0]);
    int status = WaitFor(pid, timeout);
    if (status == -1) {
        kill(pid, SIGKILL);
        status = WaitFor(pid, 5s);
    }
    if (output) *output = std::move(text);
    return status;
}

std::string PercentEncode(const std::string& text)
{
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '/' || c == '-' || c == '_' || c == '.' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

bool Executable(const std::string& path)
{
    return access(path.c_str(), X_OK) == 0;
}

} // namespace

PostgresHarness::~PostgresHarness()
{
    Stop();
}

void PostgresHarness::Fail(const std::string& reason)
{
    error_ = reason;
}

std::string PostgresHarness::LogTail() const
{
    std::ifstream in(log_);
    std::stringstream text;
    text << in.rdbuf();
    std::string all = text.str();
    if (all.size() > 3000) all = "..." + all.substr(all.size() - 3000);
    return all.empty() ? std::string("(empty log)") : all;
}

bool PostgresHarness::Start()
{
    if (Running()) return true;
    error_.clear();
    const char* binEnv = std::getenv("TARVO_POSTGRES_BIN");
    bin_ = binEnv && *binEnv ? binEnv : "/usr/lib/postgresql/15/bin";
    for (const char* tool : {"initdb", "postgres", "pg_isready", "psql"}) {
        if (!Executable(bin_ + "/" + tool)) {
            Fail("PostgreSQL 15 binaries not found: no executable " + bin_ + "/" + tool +
                 ". Install the postgresql package (scripts/deps.sh --tests does), or point "
                 "TARVO_POSTGRES_BIN at the folder holding initdb and postgres.");
            return false;
        }
    }

    std::optional<Credentials> as;
    asOtherUser_ = geteuid() == 0;
    if (asOtherUser_) {
        const passwd* nobody = getpwnam("nobody");
        if (!nobody) {
            Fail("running as root, and there is no user \"nobody\" to run PostgreSQL as");
            return false;
        }
        uid_ = nobody->pw_uid;
        gid_ = nobody->pw_gid;
        as = Credentials{uid_, gid_};
    } else {
        uid_ = geteuid();
        gid_ = getegid();
    }

    // A short path: the socket's name must fit sockaddr_un (107 bytes). As root, /tmp: the
    // caller's TMPDIR may not be reachable for "nobody".
    std::string base = "/tmp";
    if (const char* tmp = std::getenv("TMPDIR");
        !asOtherUser_ && tmp && *tmp && std::strlen(tmp) < 60)
        base = tmp;
    std::string pattern = base + "/tarvo-pg-XXXXXX";
    if (!mkdtemp(pattern.data())) {
        Fail("cannot create a temporary folder in " + base + ": " + std::strerror(errno));
        return false;
    }
    dir_ = pattern;
    owner_ = getpid();
    if (asOtherUser_ && chown(dir_.c_str(), uid_, gid_) != 0) {
        Fail("cannot hand " + dir_ + " to nobody: " + std::strerror(errno));
        std::filesystem::remove_all(dir_);
        dir_.clear();
        return false;
    }
    log_ = dir_ + "/server.log";
    const std::string data = dir_ + "/data";

    std::string output;
    const int initdb =
        Run({bin_ + "/initdb", "--pgdata=" + data, "--username=postgres", "--auth=trust",
             "--encoding=UTF8", "--locale=C", "--no-sync", "--no-instructions"},
            as, dir_, &output);
    if (initdb != 0) {
        Fail("initdb failed (status " + std::to_string(initdb) + "): " + output);
        std::filesystem::remove_all(dir_);
        dir_.clear();
        return false;
    }

    const int logFd = open(log_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (logFd < 0) {
        Fail("cannot create " + log_ + ": " + std::strerror(errno));
        std::filesystem::remove_all(dir_);
        dir_.clear();
        return false;
    }
    // SIGQUIT on our death: an immediate shutdown, the postmaster takes its children along.
    pid_ = Spawn({bin_ + "/postgres", "-D", data, "-p", std::to_string(kPort), "-k", dir_, "-c",
                  "listen_addresses=", "-c", "max_connections=200"},
                 as, dir_, logFd, logFd, SIGQUIT);
    close(logFd);
    if (pid_ < 0) {
        pid_ = 0;
        Fail(std::string("cannot start postgres: ") + std::strerror(errno));
        std::filesystem::remove_all(dir_);
        dir_.clear();
        return false;
    }

    const auto deadline = std::chrono::steady_clock::now() + 60s;
    for (;;) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = 0;
            Fail("postgres exited at start-up: " + LogTail());
            std::filesystem::remove_all(dir_);
            dir_.clear();
            return false;
        }
        if (Run({bin_ + "/pg_isready", "-q", "-h", dir_, "-p", std::to_string(kPort), "-U",
                 "postgres", "-d", "postgres"},
                std::nullopt, "/", nullptr, 10s) == 0)
            return true;
        if (std::chrono::steady_clock::now() >= deadline) {
            const std::string tail = LogTail();
            Stop();
            Fail("postgres did not get ready within a minute: " + tail);
            return false;
        }
        std::this_thread::sleep_for(100ms);
    }
}

void PostgresHarness::Stop()
{
    if (owner_ != 0 && getpid() != owner_) return; // a forked child: the cluster is not ours
    if (pid_ > 0) {
        kill(pid_, SIGINT); // fast shutdown: ends the sessions, checkpoints, exits
        int status = WaitFor(pid_, 30s);
        if (status == -1) {
            kill(pid_, SIGQUIT); // immediate shutdown
            status = WaitFor(pid_, 10s);
        }
        if (status == -1) {
            kill(pid_, SIGKILL);
            WaitFor(pid_, 10s);
        }
        pid_ = 0;
    }
    if (!dir_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
        dir_.clear();
    }
}

std::string PostgresHarness::Url(const std::string& database) const
{
    return "postgresql:///" + PercentEncode(database) + "?host=" + PercentEncode(dir_) +
           "&port=" + std::to_string(kPort) + "&user=postgres";
}

bool PostgresHarness::Sql(const std::string& sql, const std::string& database, std::string* output)
{
    if (!Running()) {
        if (error_.empty()) error_ = "the PostgreSQL test cluster is not running";
        return false;
    }
    std::string text;
    const int status =
        Run({bin_ + "/psql", "-X", "-q", "-A", "-t", "-v", "ON_ERROR_STOP=1", "-h", dir_, "-p",
             std::to_string(kPort), "-U", "postgres", "-d", database, "-c", sql},
            std::nullopt, "/", &text);
    if (status != 0) {
        error_ = "psql failed (status " + std::to_string(status) + "): " + text;
        return false;
    }
    if (output) *output = std::move(text);
    return true;
}

std::string PostgresHarness::CreateDatabase(const std::string& prefix, std::string* nameOut)
{
    std::string name;
    for (char c : prefix)
        name +=
            std::isalnum(static_cast<unsigned char>(c)) ? static_cast<char>(std::tolower(c)) : '_';
    if (name.empty() || std::isdigit(static_cast<unsigned char>(name[0]))) name = "t_" + name;
    name += "_" + std::to_string(++databases_);
    if (!Sql("CREATE DATABASE " + name)) return {};
    if (nameOut) *nameOut = name;
    return Url(name);
}

bool PostgresHarness::DropDatabase(const std::string& name)
{
    return Sql("DROP DATABASE IF EXISTS \"" + name + "\" WITH (FORCE)");
}

PostgresHarness& PostgresHarness::Shared()
{
    static PostgresHarness harness;
    static const bool started = harness.Start();
    (void)started;
    return harness;
}

} // namespace tarvo::test
