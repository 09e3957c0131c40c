#pragma once
// A stand-in for the desktop portal's Screenshot on a test's bus, answering as told: with a
// refusal, with a file, or not at all.
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QObject>
#include <QVariantMap>

namespace tarvo::test {

class FakeScreenshotPortal : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Screenshot")
public:
    enum class Answer
    {
        Refuse,  // response 1: the user said no
        Silence, // the request is made but never answered
        File,    // response 0 with uri
    };
    FakeScreenshotPortal(QDBusConnection bus, Answer answer, QString uri = {})
        : bus_(bus), answer_(answer), uri_(std::move(uri))
    {
    }

    int calls = 0;
    QVariantMap lastOptions;
    bool closed = false;

public Q_SLOTS:
    QDBusObjectPath Screenshot(const QString&, const QVariantMap& options,
                               const QDBusMessage& message)
    {
        ++calls;
        lastOptions = options;
        QString sender = message.service().mid(1);
        sender.replace('.', '_');
        const QString path = "/org/freedesktop/portal/desktop/request/" + sender + "/" +
                             options.value("handle_token").toString();
        message.setDelayedReply(true);
        bus_.send(message.createReply(QVariant::fromValue(QDBusObjectPath(path))));
        if (answer_ == Answer::Silence) return {};
        QDBusMessage response =
            QDBusMessage::createSignal(path, "org.freedesktop.portal.Request", "Response");
        const uint code = answer_ == Answer::Refuse ? 1 : 0;
        QVariantMap results;
        if (answer_ == Answer::File) results.insert("uri", uri_);
        response << code << results;
        bus_.send(response);
        return {};
    }

private:
    QDBusConnection bus_;
    Answer answer_;
    QString uri_;
};

} // namespace tarvo::test
