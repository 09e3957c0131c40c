#pragma once
// Acts on the next modal dialog of type T as soon as it is shown, from inside its own loop.
#include <QApplication>
#include <QTimer>
#include <functional>

namespace tarvo::test {

template <class T> void OnNextModal(std::function<void(T*)> act, int timeoutMs = 10000)
{
    auto* timer = new QTimer;
    auto waited = std::make_shared<int>(0);
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, waited, act, timeoutMs] {
        if (auto* w = qobject_cast<T*>(QApplication::activeModalWidget())) {
            timer->stop();
            timer->deleteLater();
            act(w);
        } else if ((*waited += 10) > timeoutMs) {
            timer->stop();
            timer->deleteLater();
        }
    });
    timer->start();
}

} // namespace tarvo::test
