#pragma once
// The real tarvo-server binary for the tests: started on 127.0.0.1 with a port of its own
// choosing and a data folder the test owns, stopped again by its PID. Its stderr (the log) is
// kept in a file so a test can search it afterwards. A server outlives neither the test
// process nor the thread that started it: it gets SIGKILL when that thread ends.
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace tarvo::test {

// A folder under $TMPDIR (or /tmp), removed with everything in it on destruction.
class TempDir
{
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

struct CommandResult
{
    int exitCode = -1; // -1: did not exit normally
    std::string out;
    std::string err;
};

// Runs the binary with these arguments to its end.
CommandResult RunServerCommand(const std::vector<std::string>& args);

class ServerProcess
{
public:
    // "serve --listen 127.0.0.1:0 --data <dataDir>" and the extra arguments; waits for the
    // "listening on" line (check Started()).
    explicit ServerProcess(const std::string& dataDir, const std::vector<std::string>& extra = {});
    ~ServerProcess(); // Stop() when still running
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    bool Started() const { return port_ != 0; }
    const std::string& Error() const { return error_; }
    std::uint16_t Port() const { return port_; }
    pid_t Pid() const { return pid_; }

    // SIGTERM and wait; the exit status, or -1 when it died of a signal (or was stopped
    // already). A process that lingers past a minute gets SIGKILL.
    int Stop();
    // SIGKILL and wait: a crash in the middle of whatever it was doing.
    void Kill();
    // A signal, without waiting for anything.
    void Signal(int signal);

    std::string Stderr() const; // the whole log so far

private:
    int wait();

    TempDir logDir_;
    std::string logPath_;
    pid_t pid_ = 0;
    std::uint16_t port_ = 0;
    std::string error_;
};

} // namespace tarvo::test
