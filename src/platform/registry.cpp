#include "platform/registry.h"

#include "platform/browser_entry.h"
#include "platform/desktop_entry.h"
#include "platform/paths.h"
#include "tarvo_version.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tarvo::platform {

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

// Reads the whole store. A missing file is an empty store (0); any other failure to read it
// (no permission, a folder in its place, an I/O error) returns the errno, and such a store must
// never be rewritten: its contents are unknown.
int readStore(QByteArray* out)
{
    out->clear();
    const QByteArray path = QFile::encodeName(StoreFilePath());
    int fd = -1;
    do {
        fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        if (errno == ENOTDIR) return 0; // a file where a folder should be: no store there
        if (errno != ENOENT) return errno;
        // A dangling symbolic link is not a missing store: writing would replace the link.
        struct stat st
        {
        };
        return ::lstat(path.constData(), &st) == 0 ? ENOENT : 0;
    }
    struct stat st
    {
    };
    int err = 0;
    if (::fstat(fd, &st) != 0)
        err = errno;
    else if (S_ISDIR(st.st_mode))
        err = EISDIR;
    else if (!S_ISREG(st.st_mode))
        err = EINVAL;
    char buf[65536];
    while (err == 0) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) err = errno;
        if (n <= 0) break;
        out->append(buf, qsizetype(n));
    }
    ::close(fd);
    if (err != 0) out->clear();
    return err;
}

thread_local int tLastStoreError = 0;

// Holds an exclusive advisory lock on the store's lock file; another Tarvo process (another
// login session of the same user) waits for it.
class StoreLock
{
public:
    StoreLock()
    {
        const QString dir = QFileInfo(StoreFilePath()).absolutePath();
        if (!MakePath(dir)) {
            error_ = errno ? errno : EACCES;
            return;
        }
        const QByteArray p = QFile::encodeName(dir + QStringLiteral("/tarvo.reg.lock"));
        fd_ = ::open(p.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ < 0) {
            error_ = errno;
            return;
        }
        while (::flock(fd_, LOCK_EX) != 0) {
            if (errno != EINTR) {
                error_ = errno;
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
    int error() const { return held() ? 0 : (error_ ? error_ : EIO); }

private:
    int fd_ = -1;
    int error_ = 0;
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

    int readError = 0; // the store exists but could not be read: it is never written

    StoreSession()
    {
        readError = readStore(&original);
        doc = RegDocument::Parse(original);
        hadUnreadable = doc.unreadableLines() > 0;
    }
    bool commit()
    {
        int err = lock.error();
        if (err == 0 && dirty) err = readError;
        if (err == 0 && dirty && hadUnreadable)
            err = WriteFileAtomically(StoreFilePath() + QStringLiteral(".bak"), original)
                      ? 0
                      : (errno ? errno : EIO);
        if (err == 0 && dirty)
            err = WriteFileAtomically(StoreFilePath(), doc.Serialize()) ? 0 : (errno ? errno : EIO);
        tLastStoreError = err;
        if (err != 0) return false;
        hadUnreadable = false;
        dirty = false;
        return true;
    }
};

thread_local StoreSession* tActiveBatch = nullptr;

template <class F> bool modifyStore(F&& change)
{
    if (tActiveBatch) {
        // A refused write still makes the batch's commit fail.
        tActiveBatch->dirty = true;
        if (!tActiveBatch->lock.held() || tActiveBatch->readError) return false;
        change(tActiveBatch->doc);
        return true;
    }
    StoreSession s;
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
        // Quoted too: whatever the entry's reader trims or treats as a break (\v, \f, U+00A0
        // and the other spaces) and characters that cannot stand bare in an entry.
        if (isExecReserved(c) || c.isSpace() || !c.isPrint()) needsQuotes = true;
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
    // The file keeps the mode its owner gave it; a new one is private.
    mode_t mode = 0600;
    struct stat st
    {
    };
    if (::stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISREG(st.st_mode))
        mode = st.st_mode & 07777;
    const int fd = ::mkostemp(tmpl.data(), O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = ::fchmod(fd, mode) == 0;
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
        const int err = errno;
        ::unlink(tmpl.constData());
        errno = err;
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
        QByteArray bytes;
        readStore(&bytes);
        const RegDocument doc = RegDocument::Parse(bytes);
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
    Commit();
}

bool RegBatch::Commit()
{
    if (!state_) return true;
    tActiveBatch = state_->previous;
    const bool ok = state_->commit();
    delete state_;
    state_ = nullptr;
    return ok;
}

int RegLastStoreError()
{
    return tLastStoreError;
}

int StoreReadError()
{
    QByteArray ignored;
    return readStore(&ignored);
}

void RemoveStaleStoreTemporaries()
{
    // Under the store lock no save is half-way, so every temporary of the store's pattern
    // is one that a killed process left behind.
    if (!QFileInfo::exists(QFileInfo(StoreFilePath()).absolutePath())) return;
    StoreLock lock;
    if (!lock.held()) return;
    const QFileInfo store(StoreFilePath());
    QDir dir(store.absolutePath());
    const QString prefix = QLatin1Char('.') + store.fileName() + QLatin1Char('.');
    for (const QString& name :
         dir.entryList({prefix + QStringLiteral("*")}, QDir::Files | QDir::Hidden | QDir::System)) {
        const QStringView suffix = QStringView(name).mid(prefix.size());
        // mkstemp's six characters, after either the store's or its backup's name.
        const QStringView six = suffix.startsWith(u"bak.") ? suffix.mid(4) : suffix;
        if (six.size() != 6) continue;
        if (!std::all_of(six.begin(), six.end(), [](QChar c) {
                return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') ||
                       (c >= u'0' && c <= u'9');
            }))
            continue;
        dir.remove(name);
    }
}

} // namespace tarvo::platform
