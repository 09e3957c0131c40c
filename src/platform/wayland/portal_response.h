#pragma once
// Catches the Response signal of one portal Request; D-Bus signals reach only slots, so this
// needs its own QObject.
#include <QEventLoop>
#include <QObject>
#include <QVariantMap>

namespace tarvo::platform::wayland {

class PortalResponse : public QObject
{
    Q_OBJECT
public:
    bool answered = false;
    uint code = 2;
    QVariantMap results;
    QEventLoop* loop = nullptr; // quit on the answer

public Q_SLOTS:
    void response(uint response, const QVariantMap& values)
    {
        answered = true;
        code = response;
        results = values;
        if (loop) loop->quit();
    }
};

} // namespace tarvo::platform::wayland
