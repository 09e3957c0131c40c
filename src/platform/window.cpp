#include "platform/window.h"

#include <QCoreApplication>
#include <QObject>
#include <QThread>
#include <QTimer>
#include <atomic>

namespace tarvo::platform {

namespace {

// Lives for the whole process on the user-interface thread, so a worker never holds a
// pointer to a window that the user-interface thread may be destroying; the relay looks the
// window up on its own thread when the command arrives.
class Relay : public QObject
{
public:
    CommandTarget* target = nullptr;

    void deliver(qintptr command, qintptr param)
    {
        if (target) target->OnSysCommand(command, param);
    }
};

std::atomic<Relay*> gRelay{nullptr};

} // namespace

void SetMainWindow(CommandTarget* window)
{
    Relay* r = gRelay.load();
    if (!r) {
        r = new Relay; // never deleted: workers may still send while the process ends
        gRelay.store(r);
    }
    r->target = window;
}

void SendCommand(qintptr command, qintptr param)
{
    Relay* r = gRelay.load();
    if (!r) return;
    if (QThread::currentThread() == r->thread()) {
        r->deliver(command, param);
        return;
    }
    if (!QCoreApplication::instance()) return;
    QMetaObject::invokeMethod(
        r, [r, command, param] { r->deliver(command, param); }, Qt::BlockingQueuedConnection);
}

void PostCommand(qintptr command, qintptr param)
{
    Relay* r = gRelay.load();
    if (!r) return;
    QMetaObject::invokeMethod(
        r, [r, command, param] { r->deliver(command, param); }, Qt::QueuedConnection);
}

void PauseWithEvents(std::chrono::milliseconds duration, QEventLoop::ProcessEventsFlags flags)
{
    if (!QCoreApplication::instance() || duration.count() <= 0) {
        if (duration.count() > 0) QThread::msleep(ulong(duration.count()));
        return;
    }
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    timer.start(duration);
    loop.exec(flags);
}

} // namespace tarvo::platform
