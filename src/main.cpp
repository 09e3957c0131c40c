#include "app/application.h"
#include "net/log.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    tarvo::OpenLogFromEnvironment();
    int rc = 0;
    {
        QApplication qtApp(argc, argv);
        QApplication::setQuitOnLastWindowClosed(false);
        QApplication::setApplicationName(QStringLiteral("Tarvo"));
        QApplication::setApplicationVersion(QStringLiteral("1.6.131"));
        QGuiApplication::setDesktopFileName(QStringLiteral("tarvo"));

        tarvo::TarvoTrayApp app;
        // The exit command destroys the main window, which ends the loop.
        if (app.InitInstance()) QApplication::exec();
        rc = app.ExitInstance();
    }
    // Upload and version-check workers are never waited for: they end with the process, without
    // running static destructors under their feet.
    tarvo::CloseLog();
    std::fflush(nullptr);
    std::_Exit(rc);
}
