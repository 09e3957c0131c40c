#include "app/application.h"
#include "app/command_line.h"
#include "net/log.h"
#include "platform/http_helper.h"
#include "platform/session.h"
#include "settings/service.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>
#include <cstdio>
#include <cstdlib>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#define TARVO_LEAK_CHECK 1
#endif

int main(int argc, char** argv)
{
    // The web helper (see http_helper.h) is this program run again: it serves and ends.
    if (const int helper = tarvo::platform::RunHttpHelperIfAsked(); helper >= 0) return helper;
#ifdef __GLIBC__
    // A capture's buffers (megabytes each at 4K) get pages of their own that go back to the
    // system when freed. By default the allocator raises this bound to the largest block freed
    // so far, and a worker's arena then keeps them for the rest of the session.
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
#endif
    std::optional<std::int32_t> capture;
    if (const auto done = tarvo::HandleCommandLine(argc, argv, &capture)) return *done;
    tarvo::OpenLogFromEnvironment();
    tarvo::platform::SelectBackend();
    int rc = 0;
    {
        QApplication qtApp(argc, argv);
        QApplication::setQuitOnLastWindowClosed(false);
        QApplication::setApplicationName(QStringLiteral("Tarvo"));
        QApplication::setApplicationVersion(tarvo::kProgramVersion.toString());
        QGuiApplication::setDesktopFileName(QStringLiteral(TARVO_APP_ID));
        // The toolkit's own texts (the Yes/No of message boxes) in the desktop's language.
        QTranslator qtTexts;
        if (qtTexts.load(QLocale::system(), QStringLiteral("qtbase"), QStringLiteral("_"),
                         QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
            QCoreApplication::installTranslator(&qtTexts);

        tarvo::TarvoTrayApp app;
        app.captureAtStart = capture;
        // The exit command destroys the main window, which ends the loop.
        if (app.InitInstance()) QApplication::exec();
        rc = app.ExitInstance();
    }
    // Upload and version-check workers are never waited for: they end with the process, without
    // running static destructors under their feet.
    tarvo::CloseLog();
    std::fflush(nullptr);
#ifdef TARVO_LEAK_CHECK
    // _Exit skips the sanitizer's own check at exit; run it here (it ends the process with an
    // error status when something leaked).
    __lsan_do_leak_check();
#endif
    std::_Exit(rc);
}
