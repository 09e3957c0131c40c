#include "platform/resources.h"

#include "tarvo_version.h"

#include <QFile>
#include <QHash>

namespace tarvo {

namespace {

const QHash<int, QString>& stringTable()
{
    static const QHash<int, QString> table = [] {
        QHash<int, QString> t;
        QFile f(QStringLiteral(":/strings.txt"));
        if (!f.open(QIODevice::ReadOnly)) return t;
        const QString text = QString::fromUtf8(f.readAll());
        for (QStringView line : QStringView(text).split(u'\n')) {
            if (line.startsWith(u'#')) continue;
            const qsizetype tab = line.indexOf(u'\t');
            if (tab <= 0) continue;
            bool ok = false;
            const int id = line.left(tab).toInt(&ok);
            if (ok) t.insert(id, line.mid(tab + 1).toString());
        }
        return t;
    }();
    return table;
}

} // namespace

QString LoadStringResource(int id)
{
    return stringTable().value(id);
}

QIcon LoadIconResource(int id)
{
    QIcon icon;
    for (int size : {16, 32, 48}) {
        const QString path = QStringLiteral(":/icons/%1-%2.png").arg(id).arg(size);
        if (QFile::exists(path)) icon.addFile(path, QSize(size, size));
    }
    // The installed theme holds the same pictures under names, which a tray host that takes
    // icons by name prefers; without an installed theme the compiled-in ones serve.
    if (id == IDI_TARVO) return QIcon::fromTheme(QStringLiteral(TARVO_APP_ID "-idle"), icon);
    if (id == IDI_SENDING) return QIcon::fromTheme(QStringLiteral(TARVO_APP_ID "-busy"), icon);
    return icon;
}

QPixmap LoadBitmapResource(int id)
{
    return QPixmap(QStringLiteral(":/bitmaps/%1.png").arg(id));
}

QCursor LoadCursorResource(int id)
{
    const QPixmap p(QStringLiteral(":/cursors/%1.png").arg(id));
    if (p.isNull()) return QCursor(Qt::CrossCursor);
    return QCursor(p, 16, 11);
}

QByteArray LoadWaveResource(int id)
{
    QFile f(QStringLiteral(":/sounds/%1.wav").arg(id));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace tarvo
