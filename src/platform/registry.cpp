#include "platform/registry.h"

#include "platform/desktop_entry.h"
#include "platform/paths.h"
#include "tarvo_version.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tarvo::platform {

// Implemented beside the browser launcher's desktop-entry lookup.
std::optional<QString> DefaultBrowserCommandTemplate();

namespace {

constexpr QStringView kStoreKey = u"Software\\Tarvo";
constexpr QStringView kRunKey = u"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr QStringView kShellFoldersKey =
    u"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
constexpr QStringView kHttpCommandKey = u"http\\shell\\open\\command";

QStringView normalised(QStringView key)
{
    while (key.startsWith(u'\\'))
        key = key.mid(1);
    while (key.endsWith(u'\\'))
        key.chop(1);
    return key;
}

bool same(QStringView a, QStringView b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

bool isStoreKey(QStringView key)
{
    return same(key, kStoreKey) ||
           (key.size() > kStoreKey.size() && same(key.left(kStoreKey.size()), kStoreKey) &&
            key[kStoreKey.size()] == u'\\');
}

QString storePath(QStringView key)
{
    return QStringLiteral("HKEY_CURRENT_USER\\") + key.toString();
}

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Holds an exclusive advisory lock on the store's lock file; another Tarvo process (another
// login session of the same user) waits for it.
class StoreLock
{
public:
    StoreLock()
    {
        const QString dir = QFileInfo(StoreFilePath()).absolutePath();
        if (!MakePath(dir)) return;
        const QByteArray p = QFile::encodeName(dir + QStringLiteral("/tarvo.reg.lock"));
        fd_ = ::open(p.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ < 0) return;
        while (::flock(fd_, LOCK_EX) != 0) {
            if (errno != EINTR) {
                ::close(fd_);
                fd_ = -1;
                return;
            }
        }
    }
    ~StoreLock()
    {
        if (fd_ >= 0) ::close(fd_); // closing drops the lock
    }
    StoreLock(const StoreLock&) = delete;
    StoreLock& operator=(const StoreLock&) = delete;
    bool held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// Loaded under the lock; keeps the original beside the store before the first rewrite of a
// file that had lines it could not read, so nothing the user wrote by hand is lost.
struct StoreSession
{
    StoreLock lock;
    RegDocument doc;
    bool hadUnreadable = false;
    QByteArray original;
    bool dirty = false;

    StoreSession()
    {
        original = readAll(StoreFilePath());
        doc = RegDocument::Parse(original);
        hadUnreadable = doc.unreadableLines() > 0;
    }
    bool commit()
    {
        if (!lock.held()) return false;
        if (!dirty) return true;
        if (hadUnreadable &&
            !WriteFileAtomically(StoreFilePath() + QStringLiteral(".bak"), original))
            return false;
        if (!WriteFileAtomically(StoreFilePath(), doc.Serialize())) return false;
        hadUnreadable = false;
        dirty = false;
        return true;
    }
};

thread_local StoreSession* tActiveBatch = nullptr;

template <class F> bool modifyStore(F&& change)
{
    if (tActiveBatch) {
        if (!tActiveBatch->lock.held()) return false;
        change(tActiveBatch->doc);
        tActiveBatch->dirty = true;
        return true;
    }
    StoreSession s;
    if (!s.lock.held()) return false;
    change(s.doc);
    s.dirty = true;
    return s.commit();
}

// --- autostart entry ---------------------------------------------------------------------

// Where earlier versions wrote the entry, before it took the desktop entry's id.
QString legacyAutostartPath()
{
    return ConfigHome() + QStringLiteral("/autostart/tarvo.desktop");
}

std::optional<RegValue> readAutostart()
{
    QString path = AutostartFilePath();
    if (!QFile::exists(path) && QFile::exists(legacyAutostartPath())) path = legacyAutostartPath();
    const auto exec = DesktopEntryValue(path, u"Desktop Entry", u"Exec");
    if (!exec) return std::nullopt;
    // An entry the desktop has switched off does not start the program.
    if (DesktopEntryValue(path, u"Desktop Entry", u"Hidden") == QStringLiteral("true") ||
        DesktopEntryValue(path, u"Desktop Entry", u"X-GNOME-Autostart-enabled") ==
            QStringLiteral("false"))
        return std::nullopt;
    return MakeRegText(UnquoteExecValue(DesktopEntryUnescape(*exec)));
}

bool writeAutostart(QStringView command)
{
    const QString dir = QFileInfo(AutostartFilePath()).absolutePath();
    if (!MakePath(dir)) return false;
    QString text = QStringLiteral("[Desktop Entry]\n"
                                  "Type=Application\n"
                                  "Name=Tarvo\n"
                                  "Comment=Screen capture from the system tray\n"
                                  "Icon=" TARVO_APP_ID "\n"
                                  "Exec=");
    text += DesktopEntryEscape(QuoteExecArgument(command));
    text += QStringLiteral("\nTerminal=false\nX-GNOME-Autostart-enabled=true\n");
    if (!WriteFileAtomically(AutostartFilePath(), text.toUtf8())) return false;
    // Two entries would start two copies at login, the second only to say the first runs.
    QFile::remove(legacyAutostartPath());
    return true;
}

// --- user-dirs.dirs ----------------------------------------------------------------------

std::optional<RegValue> readPicturesDir()
{
    const QString text =
        QString::fromUtf8(readAll(ConfigHome() + QStringLiteral("/user-dirs.dirs")));
    std::optional<QString> found;
    for (QStringView line : QStringView(text).split(u'\n')) {
        line = line.trimmed();
        if (!line.startsWith(u"XDG_PICTURES_DIR=")) continue;
        QStringView v = line.mid(17).trimmed();
        if (v.size() < 2 || !v.startsWith(u'"') || !v.endsWith(u'"')) continue;
        v = v.mid(1, v.size() - 2);
        QString out;
        for (qsizetype i = 0; i < v.size(); ++i) {
            if (v[i] == u'\\' && i + 1 < v.size()) ++i;
            out += v[i];
        }
        found = out;
    }
    if (!found) return std::nullopt;
    return MakeRegText(*found, REG_EXPAND_SZ);
}

bool isExecReserved(QChar c)
{
    return QStringView(u" \t\n\"'\\><~|&;$*?#()`").contains(c);
}

} // namespace

QString StoreFilePath()
{
    return ConfigHome() + QStringLiteral("/tarvo/tarvo.reg");
}
QString AutostartFilePath()
{
    return ConfigHome() + QStringLiteral("/autostart/" TARVO_APP_ID ".desktop");
}

QString QuoteExecArgument(QStringView arg)
{
    QString body;
    bool needsQuotes = arg.isEmpty();
    for (QChar c : arg) {
        if (isExecReserved(c)) needsQuotes = true;
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\') body += u'\\';
        if (c == u'%') body += u'%'; // a literal percent is written twice
        body += c;
    }
    return needsQuotes ? QLatin1Char('"') + body + u'"' : body;
}

QString UnquoteExecValue(QStringView exec)
{
    QString plain;
    for (qsizetype i = 0; i < exec.size(); ++i) {
        plain += exec[i];
        if (exec[i] == u'%' && i + 1 < exec.size() && exec[i + 1] == u'%') ++i;
    }
    if (plain.size() < 2 || !plain.startsWith(u'"')) return plain;
    QString out;
    for (qsizetype i = 1; i < plain.size(); ++i) {
        const QChar c = plain[i];
        if (c == u'\\' && i + 1 < plain.size()) {
            out += plain[++i];
        } else if (c == u'"') {
            // One quoted argument only if the closing quote ends the value.
            return i == plain.size() - 1 ? out : plain;
        } else {
            out += c;
        }
    }
    return plain;
}

bool WriteFileAtomically(const QString& path, const QByteArray& data)
{
    const QFileInfo info(path);
    const QString dir = info.absolutePath();
    if (!MakePath(dir)) return false;
    QByteArray tmpl =
        QFile::encodeName(dir + QStringLiteral("/.") + info.fileName() + QStringLiteral(".XXXXXX"));
    const int fd = ::mkostemp(tmpl.data(), O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = ::fchmod(fd, 0644) == 0;
    for (qsizetype done = 0; ok && done < data.size();) {
        const ssize_t n = ::write(fd, data.constData() + done, size_t(data.size() - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
            ok = false;
        else
            done += n;
    }
    ok = ok && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (ok) ok = ::rename(tmpl.constData(), QFile::encodeName(path).constData()) == 0;
    if (!ok) {
        ::unlink(tmpl.constData());
        return false;
    }
    // Make the rename itself durable.
    const int dfd = ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return true;
}

std::optional<RegValue> RegQueryValue(HKey root, QStringView subKey, QStringView name)
{
    const QStringView key = normalised(subKey);
    if (root == HKey::ClassesRoot) {
        if (same(key, kHttpCommandKey) && name.isEmpty()) {
            if (auto t = DefaultBrowserCommandTemplate()) return MakeRegText(*t);
        }
        return std::nullopt;
    }
    if (isStoreKey(key)) {
        if (tActiveBatch) {
            if (const RegValue* v = tActiveBatch->doc.Find(storePath(key), name)) return *v;
            return std::nullopt;
        }
        const RegDocument doc = RegDocument::Parse(readAll(StoreFilePath()));
        if (const RegValue* v = doc.Find(storePath(key), name)) return *v;
        return std::nullopt;
    }
    if (same(key, kRunKey) && same(name, u"Tarvo")) return readAutostart();
    if (same(key, kShellFoldersKey) && same(name, u"My Pictures")) return readPicturesDir();
    return std::nullopt;
}

bool RegSetValue(HKey root, QStringView subKey, QStringView name, const RegValue& value)
{
    const QStringView key = normalised(subKey);
    if (root != HKey::CurrentUser) return false;
    if (isStoreKey(key)) {
        return modifyStore([&](RegDocument& d) { d.Set(storePath(key), name, value); });
    }
    if (same(key, kRunKey) && same(name, u"Tarvo")) {
        if (value.type != REG_SZ && value.type != REG_EXPAND_SZ) return false;
        QString text(reinterpret_cast<const QChar*>(value.data.constData()), value.data.size() / 2);
        const auto zero = text.indexOf(QChar(0));
        if (zero >= 0) text.truncate(zero);
        return writeAutostart(text);
    }
    return false;
}

bool RegDeleteValue(HKey root, QStringView subKey, QStringView name)
{
    const QStringView key = normalised(subKey);
    if (root != HKey::CurrentUser) return false;
    if (isStoreKey(key)) {
        return modifyStore([&](RegDocument& d) { d.Remove(storePath(key), name); });
    }
    if (same(key, kRunKey) && same(name, u"Tarvo")) {
        bool ok = true;
        for (const QString& path : {AutostartFilePath(), legacyAutostartPath()}) {
            QFile f(path);
            ok = (!f.exists() || f.remove()) && ok;
        }
        return ok;
    }
    return false;
}

QString ExpandEnvironmentStrings(QStringView text)
{
    auto lookup = [](QStringView name) -> std::optional<QString> {
        const QByteArray n = name.toUtf8();
        if (!qEnvironmentVariableIsSet(n.constData())) return std::nullopt;
        return qEnvironmentVariable(n.constData());
    };
    auto isNameChar = [](QChar c) { return c.isLetterOrNumber() || c == u'_'; };
    QString out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == u'%') {
            const qsizetype end = text.indexOf(u'%', i + 1);
            if (end > i + 1) {
                if (auto v = lookup(text.mid(i + 1, end - i - 1))) {
                    out += *v;
                    i = end;
                    continue;
                }
            }
        } else if (c == u'$' && i + 1 < text.size()) {
            if (text[i + 1] == u'{') {
                const qsizetype end = text.indexOf(u'}', i + 2);
                if (end > i + 2) {
                    if (auto v = lookup(text.mid(i + 2, end - i - 2))) {
                        out += *v;
                        i = end;
                        continue;
                    }
                }
            } else if (isNameChar(text[i + 1])) {
                qsizetype end = i + 1;
                while (end < text.size() && isNameChar(text[end]))
                    ++end;
                if (auto v = lookup(text.mid(i + 1, end - i - 1))) {
                    out += *v;
                    i = end - 1;
                    continue;
                }
            }
        }
        out += c;
    }
    return out;
}

struct RegBatch::State : StoreSession
{
    StoreSession* previous = nullptr;
};

RegBatch::RegBatch() : state_(nullptr)
{
    if (tActiveBatch) return; // nested: the outer batch commits
    state_ = new State;
    state_->previous = tActiveBatch;
    tActiveBatch = state_;
}

RegBatch::~RegBatch()
{
    if (!state_) return;
    tActiveBatch = state_->previous;
    state_->commit();
    delete state_;
}

} // namespace tarvo::platform
