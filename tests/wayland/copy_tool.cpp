// Runs one screen copy of the program's Wayland code in a session and writes it as PNG, so the
// tests can hold it against grim's copy:
//   tarvo_wl_copy [--portal|--auto] [--gui] [--timeout MS] OUT.png
// --portal forces the portal, --auto lets the program choose (TARVO_SCREEN_COPY counts), the
// default is the direct copy. --gui runs a QGuiApplication (the toolkit's screens give the
// portal's outputs). Prints "area X Y W H" and "output NAME X Y W H SCALE" lines, or "error: ..."
// and exits 1.
#include "platform/wayland/portal_screenshot.h"
#include "platform/wayland/screen_copy.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QTextStream>
#include <cstring>
#include <memory>

using namespace tarvo::platform::wayland;

int main(int argc, char** argv)
{
    enum class Path
    {
        Direct,
        Portal,
        Auto
    } path = Path::Direct;
    bool gui = false;
    int timeout = -1;
    const char* out = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--portal") == 0)
            path = Path::Portal;
        else if (std::strcmp(argv[i], "--auto") == 0)
            path = Path::Auto;
        else if (std::strcmp(argv[i], "--gui") == 0)
            gui = true;
        else if (std::strcmp(argv[i], "--timeout") == 0 && i + 1 < argc)
            timeout = std::atoi(argv[++i]);
        else
            out = argv[i];
    }
    QTextStream stdoutStream(stdout);
    if (!out) {
        stdoutStream << "error: no output file named\n";
        return 2;
    }
    std::unique_ptr<QCoreApplication> app;
    if (gui)
        app = std::make_unique<QGuiApplication>(argc, argv);
    else
        app = std::make_unique<QCoreApplication>(argc, argv);

    QRect area;
    std::vector<WaylandOutput> outputs;
    QString error;
    QImage image;
    switch (path) {
    case Path::Direct:
        image = timeout > 0 ? CopyWaylandScreen(&area, &outputs, &error, timeout)
                            : CopyWaylandScreen(&area, &outputs, &error);
        break;
    case Path::Portal:
        image = timeout > 0 ? PortalScreenshot(&area, &outputs, &error, timeout)
                            : PortalScreenshot(&area, &outputs, &error);
        break;
    case Path::Auto:
        image = CopyScreen(&area, &outputs, &error);
        break;
    }
    if (image.isNull()) {
        stdoutStream << "error: " << error << "\n";
        return 1;
    }
    if (image.format() != QImage::Format_RGB32) {
        stdoutStream << "error: the copy is not Format_RGB32\n";
        return 1;
    }
    if (!image.save(QString::fromLocal8Bit(out), "PNG")) {
        stdoutStream << "error: cannot write " << out << "\n";
        return 1;
    }
    stdoutStream << "area " << area.x() << " " << area.y() << " " << area.width() << " "
                 << area.height() << "\n";
    for (const WaylandOutput& o : outputs)
        stdoutStream << "output " << o.name << " " << o.rect.x() << " " << o.rect.y() << " "
                     << o.rect.width() << " " << o.rect.height() << " " << o.scale << "\n";
    return 0;
}
