#include "server/server_process.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <signal.h>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace tarvo::test {

namespace {

// Generous bounds on waiting for the child, so a hung server fails the test instead of
// hanging it; never a measure of speed.
constexpr int kStartWaitMs = 60000;
constexpr auto kStopWait = std::chrono::seconds(60);

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::vector<char*> argvOf(std::vector<std::string>& args)
{
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    return argv;
}

// The child gets SIGKILL when the thread that started it ends, so a test that crashes leaves
// no server behind. Between fork and exec only async-signal-safe calls: the tests have
// threads of their own.
pid_t spawn(std::vector<std::string> args, int stdoutFd, const std::string& stderrPath)
{
    args.insert(args.begin(), TARVO_SERVER_BINARY);
    auto argv = argvOf(args);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid != 0) return pid < 0 ? 0 : pid;
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) _exit(127);
    const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int err = open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (in < 0 || err < 0 || dup2(in, STDIN_FILENO) < 0 || dup2(stdoutFd, STDOUT_FILENO) < 0 ||
        dup2(err, STDERR_FILENO) < 0)
        _exit(127);
    execve(TARVO_SERVER_BINARY, argv.data(), environ);
    _exit(127);
}

int exitCodeOf(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

TempDir::TempDir()
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") +
                          "/tarvo-server-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

CommandResult RunServerCommand(const std::vector<std::string>& args)
{
    TempDir dir;
    const std::string outPath = dir.Path() + "/stdout";
    const std::string errPath = dir.Path() + "/stderr";
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    CommandResult result;
    if (out < 0) return result;
    const pid_t pid = spawn(args, out, errPath);
    close(out);
    if (pid == 0) return result;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.exitCode = exitCodeOf(status);
    result.out = readFile(outPath);
    result.err = readFile(errPath);
    return result;
}

ServerProcess::ServerProcess(const std::string& dataDir, const std::vector<std::string>& extra)
    : logPath_(logDir_.Path() + "/stderr")
{
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        error_ = "pipe failed";
        return;
    }
    std::vector<std::string> args = {"serve", "--listen", "127.0.0.1:0", "--data", dataDir};
    args.insert(args.end(), extra.begin(), extra.end());
    pid_ = spawn(args, pipeFds[1], logPath_);
    close(pipeFds[1]);
    if (pid_ == 0) {
        close(pipeFds[0]);
        error_ = "cannot start " TARVO_SERVER_BINARY;
        return;
    }

    std::string line;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartWaitMs);
    while (line.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        pollfd p{pipeFds[0], POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        char buffer[256];
        const ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
        if (n <= 0) break;
        line.append(buffer, static_cast<std::size_t>(n));
    }
    close(pipeFds[0]);

    const std::string prefix = "listening on 127.0.0.1:";
    const std::size_t end = line.find('\n');
    if (line.starts_with(prefix) && end != std::string::npos) {
        const int port = std::atoi(line.substr(prefix.size(), end - prefix.size()).c_str());
        if (port > 0 && port < 65536) port_ = static_cast<std::uint16_t>(port);
    }
    if (port_ == 0) {
        error_ = "no \"listening on\" line; stdout: \"" + line + "\"; stderr: " + Stderr();
        Kill();
    }
}

ServerProcess::~ServerProcess()
{
    if (pid_ > 0) Stop();
}

int ServerProcess::wait()
{
    int status = 0;
    const auto until = std::chrono::steady_clock::now() + kStopWait;
    for (;;) {
        const pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) break;
        if (r < 0 && errno != EINTR) {
            status = -1;
            break;
        }
        if (std::chrono::steady_clock::now() > until) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = 0;
    return status < 0 ? -1 : exitCodeOf(status);
}

int ServerProcess::Stop()
{
    if (pid_ <= 0) return -1;
    kill(pid_, SIGTERM);
    return wait();
}

void ServerProcess::Kill()
{
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    wait();
}

void ServerProcess::Signal(int signal)
{
    if (pid_ > 0) kill(pid_, signal);
}

std::string ServerProcess::Stderr() const
{
    return readFile(logPath_);
}

} // namespace tarvo::test
