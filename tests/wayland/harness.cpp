#include "wayland/harness.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPainter>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <spawn.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tarvo::test {

namespace {

std::string Str(const QString& s)
{
    return s.toStdString();
}

bool WriteFile(const QString& path, const QByteArray& text, QFile::Permissions perms)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
    f.write(text);
    f.close();
    return f.setPermissions(perms);
}

constexpr QFile::Permissions kReadable =
    QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther;

// Runs argv with env (no shell), collecting standard output until it ends or the timeout.
std::string Capture(const std::vector<std::string>& argvIn,
                    const std::map<std::string, std::string>& env, int* rc,
                    std::chrono::milliseconds timeout, bool quiet = false)
{
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        if (rc) *rc = -1;
        return {};
    }
    std::vector<std::string> argv = argvIn;
    std::vector<std::string> envs;
    for (const auto& [k, v] : env)
        envs.push_back(k + "=" + v);
    std::vector<char*> a;
    for (auto& s : argv)
        a.push_back(s.data());
    a.push_back(nullptr);
    std::vector<char*> e;
    for (auto& s : envs)
        e.push_back(s.data());
    e.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    if (quiet) posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    pid_t pid = -1;
    const int err = posix_spawnp(&pid, a[0], &fa, &attr, a.data(), e.data());
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&fa);
    ::close(out[1]);
    std::string result;
    if (err != 0) {
        ::close(out[0]);
        if (rc) *rc = -1;
        return {};
    }
    const auto end = std::chrono::steady_clock::now() + timeout;
    pollfd p{out[0], POLLIN, 0};
    bool timedOut = true;
    while (std::chrono::steady_clock::now() < end) {
        if (::poll(&p, 1, 50) <= 0) continue;
        char buf[4096];
        const ssize_t n = ::read(out[0], buf, sizeof buf);
        if (n <= 0) {
            timedOut = false;
            break;
        }
        result.append(buf, size_t(n));
    }
    ::close(out[0]);
    int st = 0;
    if (timedOut || ::waitpid(pid, &st, WNOHANG) == 0) {
        // Give it the rest of a moment to exit after closing its output, then end its group.
        const auto grace = std::chrono::steady_clock::now() + (timedOut ? 0ms : 2000ms);
        pid_t r = 0;
        while ((r = ::waitpid(pid, &st, WNOHANG)) == 0 && std::chrono::steady_clock::now() < grace)
            ::usleep(10000);
        if (r == 0) {
            ::kill(-pid, SIGKILL);
            ::waitpid(pid, &st, 0);
            timedOut = true;
        }
    }
    if (rc) *rc = timedOut ? -1 : (WIFEXITED(st) ? WEXITSTATUS(st) : -1);
    while (!result.empty() && result.back() == '\n')
        result.pop_back();
    return result;
}

QString SwayTransform(int rotation)
{
    return rotation == 0 ? QStringLiteral("normal") : QString::number(rotation);
}

} // namespace

QImage OutputPattern(int index, int width, int height)
{
    QImage img(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            // Never black, so that an undrawn output shows; the index shifts every colour.
            img.setPixel(x, y,
                         qRgb((x * 3 + index * 85) & 0xFF, (y * 5) & 0xFF,
                              0x80 | (((x ^ y) * 7 + index * 31) & 0x7F)));
    return img;
}

WaylandDesktop::WaylandDesktop(std::vector<WaylandOutputSetup> outputs)
{
    if (outputs.empty()) outputs.emplace_back();
    if (!prepareUser()) return;
    // Not under /tmp: the session's own /tmp is mounted over it, and its folder must stay visible.
    const char* base = std::getenv("TARVO_WAYLAND_TMP");
    QByteArray pattern = QByteArray(base && *base ? base : "/var/tmp") + "/tarvo-wayland-XXXXXX";
    if (!::mkdtemp(pattern.data())) {
        error_ = "cannot make the session folder";
        return;
    }
    root_ = QString::fromLocal8Bit(pattern);
    ::chmod(pattern.constData(), 0755);
    for (const char* sub : {"/home", "/run", "/tmp", "/bin", "/services"})
        QDir().mkpath(root_ + sub);
    ::chmod(QFile::encodeName(tmpDir()).constData(), 01777);
    for (const QString& owned : {home(), runtimeDir()})
        if (::chown(QFile::encodeName(owned).constData(), uid_, gid_) != 0) {
            error_ = "cannot hand the session folders to " + std::string(kTestUser);
            return;
        }
    ::chmod(QFile::encodeName(runtimeDir()).constData(), 0700);

    for (const char* keep : {"PATH", "LANG", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
        if (const char* v = std::getenv(keep)) env_[keep] = v;
    if (!env_.count("LANG")) env_["LANG"] = "C.UTF-8";
    if (!env_.count("PATH")) env_["PATH"] = "/usr/local/bin:/usr/bin:/bin";
    env_["HOME"] = Str(home());
    env_["XDG_RUNTIME_DIR"] = Str(runtimeDir());
    env_["XDG_CONFIG_HOME"] = Str(home() + "/.config");
    env_["XDG_STATE_HOME"] = Str(home() + "/.local/state");
    env_["XDG_DATA_HOME"] = Str(home() + "/.local/share");
    env_["XDG_CACHE_HOME"] = Str(home() + "/.cache");
    env_["XDG_CURRENT_DESKTOP"] = "sway";
    env_["XDG_SESSION_TYPE"] = "wayland";
    env_["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + Str(runtimeDir()) + "/bus";
    if (!privateTmp_) env_["TMPDIR"] = Str(tmpDir());

    if (!startSway(outputs)) return;

    // A bus with nothing to activate: a service the test did not start stays missing.
    const QString busConfig = root_ + "/bus.conf";
    WriteFile(busConfig,
              QStringLiteral("<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus "
                             "Configuration 1.0//EN\"\n"
                             " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                             "<busconfig>\n  <type>session</type>\n"
                             "  <listen>unix:path=%1/bus</listen>\n  <auth>EXTERNAL</auth>\n"
                             "  <servicedir>%2/services</servicedir>\n"
                             "  <policy context=\"default\">\n"
                             "    <allow user=\"*\"/>\n"
                             "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                             "    <allow eavesdrop=\"true\"/>\n    <allow own=\"*\"/>\n"
                             "  </policy>\n</busconfig>\n")
                  .arg(runtimeDir(), root_)
                  .toUtf8(),
              kReadable);
    auto bus = startDaemon(
        {"dbus-daemon", "--nofork", "--nopidfile", "--config-file=" + Str(busConfig)}, "dbus.log");
    if (!WaitUntil([&] { return QFileInfo::exists(runtimeDir() + "/bus"); }, 10s)) {
        error_ = "the session bus did not start";
        return;
    }
    daemons_.push_back(std::move(bus));
}

WaylandDesktop::~WaylandDesktop()
{
    while (!daemons_.empty()) {
        daemons_.back()->stop();
        daemons_.pop_back();
    }
    if (sway_) {
        // sway's own group holds what it started (swaybg); end them together.
        if (sway_->running()) ::kill(-sway_->pid(), SIGTERM);
        sway_->stop();
        sway_.reset();
    }
    if (!root_.isEmpty() && !std::getenv("TARVO_KEEP_WAYLAND")) QDir(root_).removeRecursively();
}

bool WaylandDesktop::prepareUser()
{
    if (::geteuid() != 0) {
        uid_ = static_cast<int>(::getuid());
        gid_ = static_cast<int>(::getgid());
        return true;
    }
    asRoot_ = true;
    // A container without the right to make mount namespaces still runs the session, only
    // with the shared /tmp.
    int canUnshare = -1;
    Capture({"unshare", "--mount", "true"}, {{"PATH", "/usr/sbin:/usr/bin:/sbin:/bin"}},
            &canUnshare, 10s, true);
    privateTmp_ = canUnshare == 0;
    if (!::getpwnam(kTestUser)) {
        // Another test may make it at the same moment; only the result counts.
        int rc = 0;
        Capture({"useradd", "--system", "--no-create-home", "--home-dir", "/nonexistent", "--shell",
                 "/usr/sbin/nologin", kTestUser},
                {{"PATH", "/usr/sbin:/usr/bin:/sbin:/bin"}}, &rc, 30s);
    }
    const passwd* pw = ::getpwnam(kTestUser);
    if (!pw) {
        error_ = std::string("no user ") + kTestUser + " and useradd could not make one";
        return false;
    }
    uid_ = static_cast<int>(pw->pw_uid);
    gid_ = static_cast<int>(pw->pw_gid);
    return true;
}

std::vector<std::string> WaylandDesktop::wrap(const std::vector<std::string>& argv) const
{
    std::vector<std::string> out;
    if (privateTmp_) out = {"nsenter", "--mount=/proc/" + std::to_string(sway_->pid()) + "/ns/mnt"};
    if (asRoot_) {
        out.insert(out.end(), {"setpriv", "--reuid=" + std::to_string(uid_),
                               "--regid=" + std::to_string(gid_), "--clear-groups", "--"});
    }
    // The test's working folder may be closed to the session's user.
    out.insert(out.end(), {"env", "-C", Str(home())});
    out.insert(out.end(), argv.begin(), argv.end());
    return out;
}

bool WaylandDesktop::startSway(const std::vector<WaylandOutputSetup>& outputs)
{
    QString config = QStringLiteral("xwayland disable\ndefault_border none\n"
                                    "default_floating_border none\nfocus_follows_mouse no\n");
    int x = 0;
    for (size_t i = 0; i < outputs.size(); ++i) {
        const WaylandOutputSetup& o = outputs[i];
        const std::string name = "HEADLESS-" + std::to_string(i + 1);
        QString bg;
        if (o.color.empty()) {
            const QString picture = root_ + QStringLiteral("/bg-%1.png").arg(i + 1);
            OutputPattern(int(i), o.width, o.height).save(picture);
            ::chmod(QFile::encodeName(picture).constData(), 0644);
            bg = picture + " tile";
        } else {
            bg = QString::fromStdString(o.color) + " solid_color";
        }
        const bool sideways = o.rotation == 90 || o.rotation == 270;
        const int w = (sideways ? o.height : o.width) / o.scale;
        const int h = (sideways ? o.width : o.height) / o.scale;
        config += QStringLiteral("output %1 mode %2x%3 position %4 0 scale %5 transform %6 bg %7\n")
                      .arg(QString::fromStdString(name))
                      .arg(o.width)
                      .arg(o.height)
                      .arg(x)
                      .arg(o.scale)
                      .arg(SwayTransform(o.rotation), bg);
        rects_.emplace_back(x, 0, w, h);
        names_.push_back(name);
        x += w;
    }
    const QString configPath = root_ + "/sway.conf";
    WriteFile(configPath, config.toUtf8(), kReadable);

    std::map<std::string, std::string> env = env_;
    env["WLR_BACKENDS"] = "headless";
    env["WLR_RENDERER"] = "pixman";
    env["WLR_LIBINPUT_NO_DEVICES"] = "1";
    env["WLR_HEADLESS_OUTPUTS"] = "1";
    std::vector<std::string> argv;
    if (privateTmp_) {
        // A mount namespace whose /tmp is the session's own; then sway as the test user.
        argv = {"unshare",
                "--mount",
                "--propagation",
                "private",
                "sh",
                "-c",
                "mount --bind \"$0\" /tmp && cd \"$1\" && exec setpriv --reuid=\"$2\" "
                "--regid=\"$3\" --clear-groups -- sway -c \"$4\"",
                Str(tmpDir()),
                Str(home()),
                std::to_string(uid_),
                std::to_string(gid_),
                Str(configPath)};
    } else {
        argv = wrap({"sway", "-c", Str(configPath)});
    }
    sway_ = std::make_unique<Child>(argv, env, Str(root_ + "/sway.log"));
    if (sway_->pid() <= 0) {
        error_ = "cannot start sway";
        return false;
    }
    QString socket;
    const bool up = WaitUntil(
        [&] {
            if (!sway_->running()) return true;
            const QStringList found = QDir(runtimeDir()).entryList({"wayland-*"}, QDir::System);
            for (const QString& f : found)
                if (!f.endsWith(".lock")) socket = f;
            return !socket.isEmpty() &&
                   QFileInfo::exists(
                       runtimeDir() +
                       QStringLiteral("/sway-ipc.%1.%2.sock").arg(uid_).arg(sway_->pid()));
        },
        15s);
    if (!up || !sway_->running()) {
        error_ = "sway did not start: " + Str(readLog("sway.log").right(2000));
        return false;
    }
    waylandDisplay_ = Str(socket);
    env_["WAYLAND_DISPLAY"] = waylandDisplay_;
    env_["SWAYSOCK"] =
        Str(runtimeDir() + QStringLiteral("/sway-ipc.%1.%2.sock").arg(uid_).arg(sway_->pid()));
    for (size_t i = 1; i < outputs.size(); ++i) {
        int rc = 0;
        swaymsg({"create_output"}, &rc);
        if (rc != 0) {
            error_ = "swaymsg create_output failed";
            return false;
        }
    }
    return waitDrawn(outputs);
}

bool WaylandDesktop::waitDrawn(const std::vector<WaylandOutputSetup>& outputs)
{
    int scale = 1;
    for (const auto& o : outputs)
        scale = std::max(scale, o.scale);
    const QRect all = layout();
    // Every output configured and its background drawn: grim sees the whole layout, and no
    // output's centre is still black.
    const bool drawn = WaitUntil(
        [&] {
            const QImage shot = grim();
            if (shot.size() != all.size() * scale) return false;
            for (const QRect& r : rects_) {
                const QPoint c = (r.center() - all.topLeft()) * scale;
                if ((shot.pixel(c) & 0xFFFFFF) == 0) return false;
            }
            return true;
        },
        15s, 100ms);
    if (!drawn) error_ = "sway's outputs were not drawn in time";
    return drawn;
}

QRect WaylandDesktop::layout() const
{
    QRect all;
    for (const QRect& r : rects_)
        all = all.united(r);
    return all;
}

std::map<std::string, std::string> WaylandDesktop::qtWaylandEnv() const
{
    const QString supp = root_ + "/lsan.supp";
    if (!QFileInfo::exists(supp)) {
        QFile project(QStringLiteral(TARVO_SOURCE_DIR "/tests/lsan.supp"));
        QByteArray text = project.open(QIODevice::ReadOnly) ? project.readAll() : QByteArray();
        text += "\nleak:libwayland-client.so\n";
        WriteFile(supp, text, kReadable);
    }
    // Qt asks Mesa's EGL whether it may draw window decorations, and Mesa's driver keeps an
    // allocation that it unloads before the leak check runs: with the frames gone, no
    // suppression can name it. The sessions here need no decorations, so Mesa is never loaded.
    return {{"QT_QPA_PLATFORM", "wayland"},
            {"QT_WAYLAND_DISABLE_WINDOWDECORATION", "1"},
            {"LSAN_OPTIONS", "suppressions=" + Str(supp) + ":print_suppressions=0"}};
}

QString WaylandDesktop::hostPath(const QString& sessionPath) const
{
    if (privateTmp_ && (sessionPath == "/tmp" || sessionPath.startsWith("/tmp/")))
        return tmpDir() + sessionPath.mid(4);
    return sessionPath;
}

std::unique_ptr<Child> WaylandDesktop::start(const std::vector<std::string>& argv,
                                             const std::map<std::string, std::string>& extraEnv,
                                             const std::string& output)
{
    std::map<std::string, std::string> env = env_;
    for (const auto& [k, v] : extraEnv)
        env[k] = v;
    return std::make_unique<Child>(wrap(argv), env,
                                   output.empty() ? std::string() : Str(root_) + "/" + output);
}

std::unique_ptr<Child> WaylandDesktop::startDaemon(const std::vector<std::string>& argv,
                                                   const std::string& log)
{
    return start(argv, {}, log);
}

std::string WaylandDesktop::run(const std::vector<std::string>& argv, int* rc,
                                std::chrono::milliseconds timeout,
                                const std::map<std::string, std::string>& extraEnv)
{
    std::map<std::string, std::string> env = env_;
    for (const auto& [k, v] : extraEnv)
        env[k] = v;
    return Capture(wrap(argv), env, rc, timeout);
}

std::string WaylandDesktop::runQuietly(const std::vector<std::string>& argv, int* rc,
                                       std::chrono::milliseconds timeout)
{
    return Capture(wrap(argv), env_, rc, timeout, true);
}

std::string WaylandDesktop::executable(const std::string& path)
{
    int rc = -1;
    run({"test", "-x", path}, &rc, 10s);
    if (rc == 0) return path;
    const QString copy = root_ + "/bin/" + QFileInfo(QString::fromStdString(path)).fileName();
    QFile::remove(copy);
    QFile::copy(QString::fromStdString(path), copy);
    ::chmod(QFile::encodeName(copy).constData(), 0755);
    return Str(copy);
}

std::string WaylandDesktop::swaymsg(const std::vector<std::string>& args, int* rc)
{
    std::vector<std::string> argv{"swaymsg"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, rc, 10s);
}

QImage WaylandDesktop::grimOutput(const std::string& name)
{
    return grimWith({"-o", name});
}

QImage WaylandDesktop::grim(const QRect& region)
{
    std::vector<std::string> args;
    if (!region.isEmpty()) {
        args = {"-g", Str(QStringLiteral("%1,%2 %3x%4")
                              .arg(region.x())
                              .arg(region.y())
                              .arg(region.width())
                              .arg(region.height()))};
    }
    return grimWith(args);
}

QImage WaylandDesktop::grimWith(const std::vector<std::string>& args)
{
    static int count = 0;
    const QString file = home() + QStringLiteral("/grim-%1.png").arg(++count);
    std::vector<std::string> argv{"grim"};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back(Str(file));
    int rc = 0;
    run(argv, &rc, 10s);
    QImage shot;
    if (rc == 0) shot.load(file);
    QFile::remove(file);
    if (shot.isNull()) return {};
    // Uncovered corners come transparent: black, as in the program's copy.
    QImage flat(shot.size(), QImage::Format_RGB32);
    flat.fill(Qt::black);
    QPainter(&flat).drawImage(0, 0, shot);
    return flat;
}

bool WaylandDesktop::type(const std::vector<std::string>& wtypeArgs)
{
    std::vector<std::string> argv{"wtype"};
    argv.insert(argv.end(), wtypeArgs.begin(), wtypeArgs.end());
    int rc = 0;
    run(argv, &rc, 10s);
    return rc == 0;
}

bool WaylandDesktop::pointer(const std::vector<std::string>& script)
{
    const std::string helper = executable(TARVO_WL_POINTER);
    const QRect all = layout();
    std::vector<std::string> argv{helper, "--extent", std::to_string(all.width()),
                                  std::to_string(all.height())};
    argv.insert(argv.end(), script.begin(), script.end());
    int rc = 0;
    run(argv, &rc, 20s);
    return rc == 0;
}

bool WaylandDesktop::drag(int fromX, int fromY, int toX, int toY)
{
    const auto n = [](int v) { return std::to_string(v); };
    return pointer({"move",
                    n(fromX),
                    n(fromY),
                    "wait",
                    "50",
                    "press",
                    "wait",
                    "50",
                    "move",
                    n((fromX + toX) / 2),
                    n((fromY + toY) / 2),
                    "wait",
                    "50",
                    "move",
                    n(toX),
                    n(toY),
                    "wait",
                    "50",
                    "release",
                    "wait",
                    "50"});
}

bool WaylandDesktop::hasBusName(const std::string& name)
{
    int rc = 0;
    const std::string out =
        runQuietly({"dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus",
                    "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner", "string:" + name},
                   &rc, 10s);
    return rc == 0 && out.find("boolean true") != std::string::npos;
}

bool WaylandDesktop::startPortal(std::chrono::milliseconds timeout)
{
    const auto screenshotExported = [&] {
        int rc = 0;
        const std::string out = runQuietly(
            {"dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.portal.Desktop",
             "/org/freedesktop/portal/desktop", "org.freedesktop.DBus.Introspectable.Introspect"},
            &rc, 5s);
        return rc == 0 && out.find("org.freedesktop.portal.Screenshot") != std::string::npos;
    };
    // Each started here rather than by the bus, so that each has a PID to stop.
    daemons_.push_back(startDaemon({"pipewire"}, "pipewire.log"));
    // The wlr backend gives up for good when PipeWire is not there yet.
    if (!WaitUntil([&] { return QFileInfo::exists(runtimeDir() + "/pipewire-0"); }, timeout))
        return false;
    daemons_.push_back(startDaemon({"wireplumber"}, "wireplumber.log"));
    daemons_.push_back(startDaemon({"/usr/libexec/xdg-permission-store"}, "permission-store.log"));
    daemons_.push_back(startDaemon({"/usr/libexec/xdg-desktop-portal-wlr"}, "portal-wlr.log"));
    {
        std::map<std::string, std::string> gdk{{"GDK_BACKEND", "wayland"}};
        daemons_.push_back(start({"/usr/libexec/xdg-desktop-portal-gtk"}, gdk, "portal-gtk.log"));
    }
    const bool backends = WaitUntil(
        [&] {
            return hasBusName("org.freedesktop.impl.portal.desktop.wlr") &&
                   hasBusName("org.freedesktop.impl.portal.desktop.gtk") &&
                   hasBusName("org.freedesktop.impl.portal.PermissionStore");
        },
        timeout, 100ms);
    if (!backends) return false;
    daemons_.push_back(startDaemon({"/usr/libexec/xdg-desktop-portal"}, "portal.log"));
    return WaitUntil(screenshotExported, timeout, 200ms);
}

QString WaylandDesktop::readLog(const std::string& name) const
{
    QFile f(root_ + "/" + QString::fromStdString(name));
    if (!f.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(f.readAll());
}

} // namespace tarvo::test
