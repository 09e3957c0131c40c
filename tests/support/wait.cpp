#include "support/wait.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

namespace tarvo::test {

bool ProcessEventsUntil(const std::function<bool()>& condition, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    while (!condition()) {
        if (t.elapsed() > timeoutMs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return true;
}

} // namespace tarvo::test
