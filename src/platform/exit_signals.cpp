#include "platform/exit_signals.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace tarvo::platform {

namespace {

int gPipe[2] = {-1, -1};

// Only async-signal-safe work here: one byte into the pipe.
void onSignal(int sig)
{
    const int saved = errno;
    const char byte = char(sig);
    (void)!::write(gPipe[1], &byte, 1);
    errno = saved;
}

} // namespace

bool WatchExitSignals(std::function<void(int)> handler)
{
    if (gPipe[0] >= 0 || !QCoreApplication::instance()) return false;
    if (::pipe2(gPipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    auto* notifier =
        new QSocketNotifier(gPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier,
                     [handler = std::move(handler)] {
                         char byte = 0;
                         while (::read(gPipe[0], &byte, 1) == 1)
                             handler(int(static_cast<unsigned char>(byte)));
                     });
    struct sigaction sa
    {
    };
    sa.sa_handler = &onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    bool ok = true;
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        ok = ::sigaction(sig, &sa, nullptr) == 0 && ok;
    return ok;
}

} // namespace tarvo::platform
