#pragma once
// Slow work (encoding) on a thread of its own while the calling thread's event loop keeps
// running, so the clipboard, the tray and the sockets are served meanwhile.
#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaObject>
#include <exception>
#include <optional>
#include <thread>
#include <type_traits>
#include <utility>

namespace tarvo {

// Runs work() on a new thread and returns its result, or throws what it threw. Without an
// application object (no loop to keep running) it runs right here.
template <class F> auto OffThread(F&& work) -> std::invoke_result_t<F&>
{
    using Result = std::invoke_result_t<F&>;
    if (!QCoreApplication::instance()) return work();
    std::optional<Result> result;
    std::exception_ptr error;
    QEventLoop loop;
    std::thread worker([&] {
        try {
            result.emplace(work());
        } catch (...) {
            error = std::current_exception();
        }
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    worker.join();
    if (error) std::rethrow_exception(error);
    return std::move(*result);
}

} // namespace tarvo
