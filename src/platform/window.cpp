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
    Happening().Wait(QDeadlineTimer(duration), flags); // nothing tells it: the whole time
}

void Happening::Notify()
{
    const std::lock_guard hold(lock_);
    happened_ = true;
    // A loop that ends before the call arrives takes the call with it.
    if (waiting_) QMetaObject::invokeMethod(waiting_, &QEventLoop::quit, Qt::QueuedConnection);
}

bool Happening::Wait(QDeadlineTimer deadline, QEventLoop::ProcessEventsFlags flags)
{
    QEventLoop loop;
    QTimer timer;
    {
        const std::lock_guard hold(lock_);
        if (happened_ || deadline.hasExpired()) return happened_;
        waiting_ = &loop;
    }
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    if (!deadline.isForever()) timer.start(std::chrono::milliseconds(deadline.remainingTime()));
    loop.exec(flags);
    const std::lock_guard hold(lock_);
    waiting_ = nullptr;
    return happened_;
}

} // namespace tarvo::platform
