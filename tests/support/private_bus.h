#pragma once
// A private session bus for one test: its own dbus-daemon on a socket in a temporary folder,
// stopped again by PID (and killed with the test, should the test die).
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

namespace tarvo::test {

class PrivateBus
{
public:
    PrivateBus();
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    bool ok() const { return !address_.isEmpty(); }
    QString address() const { return address_; }

private:
    QTemporaryDir dir_;
    QProcess daemon_;
    QString address_;
};

} // namespace tarvo::test

#include <QDBusConnection>
#include <QObject>
#include <QThread>
#include <memory>
#include <vector>

namespace tarvo::test {

// Stand-in services on a bus, answering on a thread of their own: the program under test may
// block on a call to them (the toolkit asks the tray watcher synchronously) while the test's
// own thread sleeps in a wait.
class BusServices
{
public:
    explicit BusServices(const QString& address);
    ~BusServices();
    BusServices(const BusServices&) = delete;
    BusServices& operator=(const BusServices&) = delete;

    bool connected() const { return bus_.isConnected(); }
    QDBusConnection& bus() { return bus_; }
    // Takes the object, moves it to the services' thread and exports its slots, signals and
    // properties at path; then owns the service name (unless empty).
    bool host(std::unique_ptr<QObject> object, const QString& path, const QString& service);

private:
    QString name_;
    QDBusConnection bus_;
    QThread thread_;
    std::vector<std::unique_ptr<QObject>> objects_;
};

} // namespace tarvo::test
