#include "desktop/harness.h"

#include "support/helpers.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace tarvo::test {

namespace {

std::vector<char*> cstrings(std::vector<std::string>& v)
{
    std::vector<char*> out;
    for (auto& s : v)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

} // namespace

Child::Child(const std::vector<std::string>& argvIn, const std::map<std::string, std::string>& env,
             const std::string& output)
{
    std::vector<std::string> argv = argvIn;
    std::vector<std::string> envs;
    for (const auto& [k, v] : env)
        envs.push_back(k + "=" + v);
    auto a = cstrings(argv);
    auto e = cstrings(envs);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    const int devnull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    posix_spawn_file_actions_adddup2(&fa, devnull, 0);
    if (!output.empty()) {
        posix_spawn_file_actions_addopen(&fa, 1, output.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                         0644);
        posix_spawn_file_actions_adddup2(&fa, 1, 2);
    }
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // Own process group, so stopping it reaches whatever it started.
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    pid_t pid = -1;
    if (posix_spawnp(&pid, a[0], &fa, &attr, a.data(), e.data()) != 0) pid = -1;
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&fa);
    ::close(devnull);
    pid_ = pid;
}

Child::~Child()
{
    stop();
}

bool Child::running()
{
    if (pid_ <= 0 || status_) return false;
    int st = 0;
    const pid_t r = ::waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -WTERMSIG(st);
        return false;
    }
    return r == 0;
}

std::optional<int> Child::wait(std::chrono::milliseconds timeout)
{
    WaitUntil([this] { return !running(); }, timeout, 20ms);
    return status_;
}

void Child::kill(int sig)
{
    if (running()) ::kill(pid_, sig);
}

void Child::stop()
{
    if (!running()) return;
    ::kill(pid_, SIGTERM);
    if (!wait(3s)) {
        ::kill(pid_, SIGKILL);
        wait(5s);
    }
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
               std::chrono::milliseconds step)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (true) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(step);
    }
}

Desktop::Desktop(bool withTray, const char* screen)
{
    const std::string size = screen;
    screenSize_ = size.substr(0, size.rfind('x'));
    const char* tmp = std::getenv("TMPDIR");
    QTemporaryDir dir(QString::fromUtf8(tmp ? tmp : "/tmp") + "/tarvo-desktop-XXXXXX");
    dir.setAutoRemove(false);
    home_ = dir.path();
    for (const QString& sub : {QStringLiteral("/.config"), QStringLiteral("/.local/state"),
                               QStringLiteral("/.local/share"), QStringLiteral("/runtime")})
        QDir().mkpath(home_ + sub);
    ::chmod(QFile::encodeName(runtimeDir()).constData(), 0700);

    int fds[2];
    if (::pipe(fds) != 0) throw std::runtime_error("pipe");
    ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    std::map<std::string, std::string> base;
    for (const char* keep :
         {"PATH", "LANG", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS"})
        if (const char* v = std::getenv(keep)) base[keep] = v;
    if (!base.count("LANG")) base["LANG"] = "C.UTF-8";
    xvfb_ = std::make_unique<Child>(
        std::vector<std::string>{"Xvfb", "-displayfd", std::to_string(fds[1]), "-nolisten", "tcp",
                                 "-noreset", "-screen", "0", screen},
        base, (home_ + "/xvfb.log").toStdString());
    ::close(fds[1]);
    std::string number;
    pollfd p{fds[0], POLLIN, 0};
    while (::poll(&p, 1, 15000) > 0) {
        char c;
        if (::read(fds[0], &c, 1) != 1 || c == '\n') break;
        number += c;
    }
    ::close(fds[0]);
    if (number.empty()) throw std::runtime_error("Xvfb did not start");
    display_ = ":" + number;

    env_ = base;
    env_["DISPLAY"] = display_;
    env_["HOME"] = home_.toStdString();
    env_["XDG_CONFIG_HOME"] = configHome().toStdString();
    env_["XDG_STATE_HOME"] = stateHome().toStdString();
    env_["XDG_DATA_HOME"] = (home_ + "/.local/share").toStdString();
    env_["XDG_RUNTIME_DIR"] = runtimeDir().toStdString();
    env_["QT_QPA_PLATFORM"] = "xcb";
    // Only the tests that look at the splash or the version check's delay see the real waits.
    env_["TARVO_TEST_SHORT_WAITS"] = "1";
    // No session bus: the tray is the XEmbed one that tint2 hosts. An address nobody listens
    // on rather than none, so that Qt does not start a bus of its own that outlives the test;
    // a test with a bus of its own passes it to startTarvo.
    env_["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + home_.toStdString() + "/no-bus";

    // Without it, tint2 waits 15 s for a window manager to set it.
    run({"xprop", "-root", "-f", "_NET_NUMBER_OF_DESKTOPS", "32c", "-set",
         "_NET_NUMBER_OF_DESKTOPS", "1"});

    trayConfig_ = home_ + "/tint2rc";
    QFile conf(trayConfig_);
    if (conf.open(QIODevice::WriteOnly)) {
        conf.write("panel_items = S\n"
                   "panel_size = 100% 32\n"
                   "panel_position = bottom center horizontal\n"
                   "panel_layer = top\n"
                   "systray_padding = 4 2 4\n"
                   "systray_icon_size = 24\n"
                   "systray_sort = ascending\n");
        conf.close();
    }
    if (withTray) startTray();
}

Desktop::~Desktop()
{
    tray_.reset();
    xvfb_.reset();
    if (!::testing::Test::HasFailure())
        QDir(home_).removeRecursively();
    else
        std::fprintf(stderr, "desktop test files kept in %s\n", qPrintable(home_));
}

QString Desktop::readLog() const
{
    QFile f(logPath());
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

void Desktop::startTray()
{
    tray_ =
        std::make_unique<Child>(std::vector<std::string>{"tint2", "-c", trayConfig_.toStdString()},
                                env_, (home_ + "/tint2.log").toStdString());
    // The tray is up once it owns the tray selection.
    WaitUntil([this] { return !visibleWindows("^tint2$").empty(); }, 10s);
}

void Desktop::stopTray()
{
    tray_.reset();
}

std::unique_ptr<Child> Desktop::startTarvo(const std::map<std::string, std::string>& extraEnv)
{
    auto e = env_;
    for (const auto& [k, v] : extraEnv)
        e[k] = v;
    return std::make_unique<Child>(std::vector<std::string>{TARVO_BINARY}, e);
}

std::string Desktop::run(const std::vector<std::string>& argvIn, int* rc,
                         std::chrono::milliseconds timeout)
{
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return {};
    std::vector<std::string> argv = argvIn;
    std::vector<std::string> envs;
    for (const auto& [k, v] : env_)
        envs.push_back(k + "=" + v);
    auto a = cstrings(argv);
    auto e = cstrings(envs);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    pid_t pid = -1;
    const int err = posix_spawnp(&pid, a[0], &fa, nullptr, a.data(), e.data());
    posix_spawn_file_actions_destroy(&fa);
    ::close(out[1]);
    std::string result;
    if (err == 0) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        pollfd p{out[0], POLLIN, 0};
        while (std::chrono::steady_clock::now() < end) {
            if (::poll(&p, 1, 100) <= 0) continue;
            char buf[4096];
            const ssize_t n = ::read(out[0], buf, sizeof buf);
            if (n <= 0) break;
            result.append(buf, size_t(n));
        }
        int st = 0;
        if (::waitpid(pid, &st, WNOHANG) == 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &st, 0);
        }
        if (rc) *rc = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    } else if (rc) {
        *rc = -1;
    }
    ::close(out[0]);
    while (!result.empty() && result.back() == '\n')
        result.pop_back();
    return result;
}

std::vector<std::string> Desktop::visibleWindows(const std::string& nameRegex)
{
    int rc = 0;
    const std::string out = run({"xdotool", "search", "--onlyvisible", "--name", nameRegex}, &rc);
    std::vector<std::string> ids;
    size_t start = 0;
    while (start < out.size()) {
        size_t end = out.find('\n', start);
        if (end == std::string::npos) end = out.size();
        if (end > start) ids.push_back(out.substr(start, end - start));
        start = end + 1;
    }
    return ids;
}

bool Desktop::trayHasIcon(const std::string& instance)
{
    // Docked icons are reparented into the panel's tray.
    const auto panels = visibleWindows("^tint2$");
    if (panels.empty()) return false;
    const std::string tree = run({"xwininfo", "-tree", "-id", panels.front()});
    if (std::getenv("TARVO_TEST_DEBUG")) std::fprintf(stderr, "%s\n", tree.c_str());
    return tree.find("(\"" + instance + "\" ") != std::string::npos;
}

std::string Desktop::trayIconWindow(const std::string& instance)
{
    const auto panels = visibleWindows("^tint2$");
    if (panels.empty()) return {};
    const std::string tree = run({"xwininfo", "-tree", "-id", panels.front()});
    const size_t at = tree.find("(\"" + instance + "\" ");
    if (at == std::string::npos) return {};
    const size_t lineStart = tree.rfind('\n', at);
    const size_t id = tree.find("0x", lineStart == std::string::npos ? 0 : lineStart);
    const size_t end = tree.find(' ', id);
    return tree.substr(id, end - id);
}

void Desktop::writeSettings(const std::vector<std::pair<std::string, std::string>>& values)
{
    QDir().mkpath(configHome() + "/tarvo");
    QFile f(configHome() + "/tarvo/tarvo.reg");
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return;
    f.write("Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Software\\Tarvo]\n");
    for (const auto& [name, value] : values)
        f.write(("\"" + name + "\"=\"" + value + "\"\n").c_str());
}

bool Desktop::waitForLog(const QString& text, std::chrono::milliseconds timeout)
{
    return WaitUntil([&] { return readLog().contains(text); }, timeout);
}

QString Desktop::screenshot(const QString& name)
{
    const QString path = home_ + "/" + name + ".png";
    run({"import", "-window", "root", path.toStdString()});
    return path;
}

std::string Desktop::trayMenuWindow()
{
    const std::string icon = trayIconWindow("tarvo");
    const unsigned long iconId = icon.empty() ? 0 : std::stoul(icon, nullptr, 16);
    const std::string ids = run({"xdotool", "search", "--onlyvisible", "--class", "tarvo"});
    for (size_t start = 0; start < ids.size();) {
        size_t end = ids.find('\n', start);
        if (end == std::string::npos) end = ids.size();
        const std::string id = ids.substr(start, end - start);
        start = end + 1;
        if (std::stoul(id) == iconId) continue;
        const std::string info = run({"xwininfo", "-id", id});
        if (info.find("Override Redirect State: yes") != std::string::npos &&
            info.find("Width: " + screenSize_.substr(0, screenSize_.find('x')) + "\n") ==
                std::string::npos)
            return id;
    }
    return {};
}

bool Desktop::overlayVisible()
{
    const std::string ids = run({"xdotool", "search", "--onlyvisible", "--classname", "^tarvo$"});
    for (size_t start = 0; start < ids.size();) {
        size_t end = ids.find('\n', start);
        if (end == std::string::npos) end = ids.size();
        const std::string geo =
            run({"xdotool", "getwindowgeometry", ids.substr(start, end - start)});
        start = end + 1;
        if (geo.find("Position: 0,0") != std::string::npos &&
            geo.find("Geometry: " + screenSize_) != std::string::npos)
            return true;
    }
    return false;
}

void Desktop::drag(int fromX, int fromY, int toX, int toY)
{
    const auto n = [](int v) { return std::to_string(v); };
    run({"xdotool",
         "mousemove",
         n(fromX),
         n(fromY),
         "sleep",
         "0.1",
         "mousedown",
         "1",
         "sleep",
         "0.1",
         "mousemove",
         n((fromX + toX) / 2),
         n((fromY + toY) / 2),
         "sleep",
         "0.1",
         "mousemove",
         n(toX),
         n(toY),
         "sleep",
         "0.1",
         "mouseup",
         "1"});
}

bool Desktop::captureRectangle()
{
    run({"xdotool", "key", "Print"});
    if (!WaitUntil([&] { return overlayVisible(); }, 10s)) return false;
    drag(100, 100, 300, 250);
    return true;
}

std::unique_ptr<Child> ShowPicture(Desktop& d, int w, int h)
{
    const QString path = d.home() + "/picture.png";
    Pattern(w, h).save(path);
    auto viewer =
        std::make_unique<Child>(std::vector<std::string>{"display", "-geometry", "+0+0", "-title",
                                                         "picture", path.toStdString()},
                                d.env(), (d.home() + "/display.log").toStdString());
    EXPECT_TRUE(WaitUntil([&] { return !d.visibleWindows("^picture$").empty(); }, 15s));
    std::this_thread::sleep_for(500ms); // let it draw
    return viewer;
}

void KeepForLook(const QString& path)
{
    const QString dir = qEnvironmentVariable("TARVO_TEST_SHOTS");
    if (dir.isEmpty() || !QFile::exists(path)) return;
    QDir().mkpath(dir);
    const QString to = dir + "/" + QFileInfo(path).fileName();
    QFile::remove(to);
    QFile::copy(path, to);
}

} // namespace tarvo::test
