#pragma once
// A desktop portal with global shortcuts, on a private bus: org.freedesktop.portal.Desktop at
// /org/freedesktop/portal/desktop answering CreateSession and BindShortcuts through Request
// objects, recording what it was asked, and sending Activated and ShortcutsChanged when the
// test says so. Or, for the desktops that have none, a portal without the interface.
#include "support/private_bus.h"

#include <QDBusContext>
#include <QDBusObjectPath>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QVariantMap>
#include <memory>

namespace tarvo::test {

struct FakeShortcut
{
    QString id;
    QVariantMap properties;
};

struct FakePortalSettings
{
    uint createAnswer = 0;      // the Response code of CreateSession
    uint bindAnswer = 0;        // and of BindShortcuts
    bool answer = true;         // false: the Requests never answer
    QString boundDescription{}; // trigger_description; empty: the preferred trigger
};

class FakeShortcutsPortal : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.GlobalShortcuts")
    Q_PROPERTY(uint version READ version)
public:
    explicit FakeShortcutsPortal(FakePortalSettings settings) : settings_(std::move(settings)) {}
    uint version() const { return 1; }

    struct Record
    {
        QStringList requestPaths; // each Request's path, as the answer named it
        QString sessionPath;
        QList<FakeShortcut> bound; // what BindShortcuts asked for
        QString bindSession;
    };
    Record record() const;

public Q_SLOTS:
    QDBusObjectPath CreateSession(const QVariantMap& options);
    QDBusObjectPath BindShortcuts(const QDBusObjectPath& session,
                                  const QList<tarvo::test::FakeShortcut>& shortcuts,
                                  const QString& parentWindow, const QVariantMap& options);

private:
    QString requestPath(const QString& token);
    void respond(const QString& path, uint code, const QVariantMap& results);

    FakePortalSettings settings_;
    mutable QMutex mutex_;
    Record record_;
};

class FakePortal
{
public:
    // withShortcuts false: the portal runs but has no global shortcuts (as Debian 12's).
    explicit FakePortal(bool withShortcuts = true, FakePortalSettings settings = {});
    // The portal on a bus that already runs (a whole session's).
    explicit FakePortal(const QString& busAddress, bool withShortcuts = true,
                        FakePortalSettings settings = {});
    bool ok() const { return ok_; }
    QString address() const { return address_; }

    FakeShortcutsPortal::Record record() const;
    // Waits until BindShortcuts was asked; false when it was not in time.
    bool waitForBind(int timeoutMs = 20000) const;
    // The desktop reports the shortcut pressed, or its key changed by the user.
    void activate(const QString& id);
    void changeTrigger(const QString& id, const QString& description);

private:
    void attach(bool withShortcuts, FakePortalSettings settings);

    std::unique_ptr<PrivateBus> bus_; // only when the portal started its own
    QString address_;
    std::unique_ptr<BusServices> services_;
    FakeShortcutsPortal* portal_ = nullptr;
    bool ok_ = false;
};

} // namespace tarvo::test

Q_DECLARE_METATYPE(tarvo::test::FakeShortcut)
