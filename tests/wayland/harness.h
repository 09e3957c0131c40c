#pragma once
// A private Wayland session for one test: sway on its headless backend (software rendering, no
// input devices), with the outputs the test asks for, its own runtime folder and session bus,
// and on demand PipeWire and the desktop portals. sway refuses to run as root, so as root
// everything runs as the unprivileged user kTestUser (created when missing), and, where the
// system lets root make one, in a mount namespace of its own whose /tmp is a private folder:
// the screenshot portal writes to a fixed name there. Not as root, it all runs as the caller,
// with the real /tmp (TMPDIR points into the session's folder).
// Everything started here is stopped by PID when the session goes away, also when the test
// fails; its folder is removed.
#include "desktop/harness.h"
#include "support/helpers.h"

#include <QImage>
#include <QRect>
#include <QString>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tarvo::test {

inline constexpr const char* kTestUser = "tarvo-test";

struct WaylandOutputSetup
{
    int width = 640; // the mode, in device pixels
    int height = 480;
    int scale = 1;
    int rotation = 0; // degrees clockwise as sway names them: 0, 90, 180, 270
    // Empty: a picture unique to this output whose every pixel differs from its neighbours, so
    // a shifted, turned or cut copy shows; otherwise a solid colour "#rrggbb".
    std::string color{};
};

class WaylandDesktop
{
public:
    // The outputs sit side by side from left to right in their order, top-aligned.
    explicit WaylandDesktop(std::vector<WaylandOutputSetup> outputs = {WaylandOutputSetup{}});
    ~WaylandDesktop();
    WaylandDesktop(const WaylandDesktop&) = delete;
    WaylandDesktop& operator=(const WaylandDesktop&) = delete;

    // Whether sway came up with every output drawn; error() says why not.
    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }

    const QString& root() const { return root_; } // the session's folder, on the test's side
    QString home() const { return root_ + "/home"; }
    QString runtimeDir() const { return root_ + "/run"; }
    // The session's /tmp as the test sees it, and the test's path of a session path.
    QString tmpDir() const { return root_ + "/tmp"; }
    QString hostPath(const QString& sessionPath) const;
    const std::string& waylandDisplay() const { return waylandDisplay_; }
    bool privateTmp() const { return privateTmp_; }
    int swayPid() const { return sway_ ? sway_->pid() : -1; }

    // The compositor's layout in logical coordinates, per output and as a whole.
    const std::vector<QRect>& outputRects() const { return rects_; }
    QRect layout() const;
    // Output names in the order of the outputs given (HEADLESS-1, HEADLESS-2, ...).
    const std::vector<std::string>& outputNames() const { return names_; }

    // The environment a program in the session gets (WAYLAND_DISPLAY, XDG_RUNTIME_DIR, SWAYSOCK,
    // DBUS_SESSION_BUS_ADDRESS, HOME, XDG_CURRENT_DESKTOP=sway, the sanitizers' options...).
    std::map<std::string, std::string> env() const { return env_; }
    void setEnv(const std::string& name, const std::string& value) { env_[name] = value; }
    // Extra environment for a toolkit program on this session's compositor: Qt's wayland
    // platform, and LeakSanitizer told about what Qt 6.4's wayland plugin never frees (the
    // proxies of libwayland-client), on top of the project's own suppressions.
    std::map<std::string, std::string> qtWaylandEnv() const;

    // Starts a program in the session as its user; output (a file name in root()) collects its
    // standard output and error.
    std::unique_ptr<Child> start(const std::vector<std::string>& argv,
                                 const std::map<std::string, std::string>& extraEnv = {},
                                 const std::string& output = {});
    // Runs a program in the session as its user and returns its standard output (trimmed of
    // the final line end); the exit code goes to *rc (-1 when it did not end in time).
    std::string run(const std::vector<std::string>& argv, int* rc = nullptr,
                    std::chrono::milliseconds timeout = 20s,
                    const std::map<std::string, std::string>& extraEnv = {});
    // A path the session's user may execute: the file itself when the user can reach it,
    // otherwise a copy in root().
    std::string executable(const std::string& path);

    std::string swaymsg(const std::vector<std::string>& args, int* rc = nullptr);
    // grim's copy of a region in logical coordinates (the whole layout when empty), flattened
    // to Format_RGB32 (uncovered corners black). Null when grim failed.
    QImage grim(const QRect& region = {});
    // grim's copy of one output in its own device pixels (grim -o NAME).
    QImage grimOutput(const std::string& name);
    // Keys through wtype, e.g. {"-k", "Escape"} or {"text"}; whether wtype succeeded.
    bool type(const std::vector<std::string>& wtypeArgs);
    // Pointer actions through the virtual-pointer helper, in one connection so that a held
    // button stays held: "move X Y" (logical layout coordinates), "press [BUTTON]",
    // "release [BUTTON]" (BUTTON a Linux code, default the left button 272), "wait MS".
    bool pointer(const std::vector<std::string>& script);
    bool movePointer(int x, int y)
    {
        return pointer({"move", std::to_string(x), std::to_string(y)});
    }
    // Move to (fromX, fromY), press, move through the midpoint to (toX, toY), release.
    bool drag(int fromX, int fromY, int toX, int toY);

    // PipeWire, WirePlumber, the permission store, the wlr and gtk portal backends and
    // xdg-desktop-portal; true once org.freedesktop.portal.Screenshot is exported.
    bool startPortal(std::chrono::milliseconds timeout = 20s);
    // The session bus's address; the test itself may connect too (any user may).
    std::string busAddress() const { return env_.at("DBUS_SESSION_BUS_ADDRESS"); }
    // Whether the bus has a service with this name.
    bool hasBusName(const std::string& name);

    // The log of a started program (see start) or of sway ("sway.log").
    QString readLog(const std::string& name) const;

private:
    // run() with standard error thrown away, for probes that fail until something is up.
    std::string runQuietly(const std::vector<std::string>& argv, int* rc,
                           std::chrono::milliseconds timeout);
    QImage grimWith(const std::vector<std::string>& args);
    std::vector<std::string> wrap(const std::vector<std::string>& argv) const;
    bool startSway(const std::vector<WaylandOutputSetup>& outputs);
    bool waitDrawn(const std::vector<WaylandOutputSetup>& outputs);
    bool prepareUser();
    std::unique_ptr<Child> startDaemon(const std::vector<std::string>& argv,
                                       const std::string& log);

    QString root_;
    std::string error_;
    bool asRoot_ = false;
    bool privateTmp_ = false;
    int uid_ = -1;
    int gid_ = -1;
    std::string waylandDisplay_;
    std::vector<QRect> rects_;
    std::vector<std::string> names_;
    std::map<std::string, std::string> env_;
    std::unique_ptr<Child> sway_;
    std::vector<std::unique_ptr<Child>> daemons_; // stopped in reverse order, before sway
};

// The picture an output shows when its setup names no colour (index from 0).
QImage OutputPattern(int index, int width, int height);

} // namespace tarvo::test
