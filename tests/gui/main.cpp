#include "platform/http_helper.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QtGlobal>
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    // Web requests made apart run this binary again as their helper.
    if (const int helper = tarvo::platform::RunHttpHelperIfAsked(); helper >= 0) return helper;
    // ctest and test discovery run this binary without the test's environment.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // Never the desktop's bus, and no bus that Qt starts on demand and leaves running: an
    // address nobody listens on. Tests that need a bus start their own.
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + QFile::encodeName(QDir::tempPath()) +
                                            "/tarvo-test-no-bus-" +
                                            QByteArray::number(QCoreApplication::applicationPid()));
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
