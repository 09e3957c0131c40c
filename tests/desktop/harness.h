#pragma once
// A private desktop for one test: its own X server (Xvfb), a tray host (tint2) and fresh
// home, config, state and runtime folders. Everything started here is stopped by PID when the
// Desktop goes away, also when the test fails.
#include <QString>
#include <QStringList>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tarvo::test {

using namespace std::chrono_literals;

class Child
{
public:
    Child() = default;
    // output: a file for the child's standard output and error; empty keeps the test's own.
    Child(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
          const std::string& output = {});
    ~Child();
    Child(Child&& o) noexcept : pid_(o.pid_), status_(o.status_) { o.pid_ = -1; }
    Child& operator=(Child&&) = delete;

    int pid() const { return pid_; }
    bool running();
    // Exit code, or nullopt when it did not end in time. -signal when killed by a signal.
    std::optional<int> wait(std::chrono::milliseconds timeout);
    void kill(int sig);
    void stop(); // SIGTERM, then SIGKILL after a grace period

private:
    int pid_ = -1;
    std::optional<int> status_;
};

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
               std::chrono::milliseconds step = 50ms);

class Desktop
{
public:
    explicit Desktop(bool withTray = true, const char* screen = "1280x800x24");
    ~Desktop();

    const std::string& display() const { return display_; }
    const QString& home() const { return home_; }
    QString configHome() const { return home_ + "/.config"; }
    QString stateHome() const { return home_ + "/.local/state"; }
    QString runtimeDir() const { return home_ + "/runtime"; }
    QString logPath() const { return stateHome() + "/tarvo/TarvoTray.log"; }
    QString readLog() const;

    // The environment a program on this desktop gets.
    std::map<std::string, std::string> env() const { return env_; }
    void setEnv(const std::string& name, const std::string& value) { env_[name] = value; }

    void startTray();
    void stopTray();
    bool trayRunning() const { return tray_ != nullptr; }

    // Starts Tarvo on this desktop.
    std::unique_ptr<Child> startTarvo(const std::map<std::string, std::string>& extraEnv = {});

    // Runs a command on this desktop and returns its standard output (trimmed of the final
    // line end); the exit code goes to *rc.
    std::string run(const std::vector<std::string>& argv, int* rc = nullptr,
                    std::chrono::milliseconds timeout = 20s);

    // Visible top-level windows whose name matches the regular expression.
    std::vector<std::string> visibleWindows(const std::string& nameRegex);
    // Whether the tray holds an icon window of the program with this WM_CLASS instance name.
    bool trayHasIcon(const std::string& instance);
    // The window id of that icon in the tray, or empty.
    std::string trayIconWindow(const std::string& instance);
    // Writes values into the settings store before the program starts, e.g. {"Destination", "2"}.
    void writeSettings(const std::vector<std::pair<std::string, std::string>>& values);
    // Waits until the log holds the text; returns whether it did.
    bool waitForLog(const QString& text, std::chrono::milliseconds timeout = 15s);
    // The screen as a PNG file (written to the test's folder); returns its path.
    QString screenshot(const QString& name);

    // The open tray menu: the program's popup (an override-redirect window smaller than the
    // screen, the tray icon aside), or empty.
    std::string trayMenuWindow();
    // Whether the selection overlay is up: a window of the program covering the whole screen.
    bool overlayVisible();
    // A drag with the first button, through the midpoint, as a hand would make it.
    void drag(int fromX, int fromY, int toX, int toY);
    // Print Screen and, once the overlay is up, the drag from (100, 100) to (300, 250): a
    // 200x150 fragment. False when no overlay came.
    bool captureRectangle();

private:
    std::unique_ptr<Child> xvfb_;
    std::unique_ptr<Child> tray_;
    std::string display_;
    std::string screenSize_; // "1280x800"
    QString home_;
    QString trayConfig_;
    std::map<std::string, std::string> env_;
};

// A picture whose every pixel differs from its neighbours (Pattern), shown at the top-left
// corner of the desktop so that a capture has something recognisable under the drag.
std::unique_ptr<Child> ShowPicture(Desktop& d, int w, int h);

// A screenshot worth a look by a person is also copied to $TARVO_TEST_SHOTS, since the
// desktop's folder goes away when the test passes.
void KeepForLook(const QString& path);

} // namespace tarvo::test
