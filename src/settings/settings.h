#pragma once
// The one process-wide settings record and its registry store.
#include "platform/registry.h"

#include <QString>
#include <array>
#include <atomic>
#include <cstdint>
#include <variant>

namespace tarvo {

enum Destination : std::int32_t
{
    DestinationWeb = 0,
    DestinationClipboard = 1,
    DestinationFile = 2,
};

// A flag that worker threads read while the user-interface thread may write it.
class SharedFlag
{
public:
    SharedFlag(bool v = false) : v_(v) {}
    SharedFlag(const SharedFlag& o) : v_(o.v_.load(std::memory_order_relaxed)) {}
    SharedFlag& operator=(const SharedFlag& o)
    {
        v_.store(o.v_.load(std::memory_order_relaxed), std::memory_order_relaxed);
        return *this;
    }
    SharedFlag& operator=(bool v)
    {
        v_.store(v, std::memory_order_relaxed);
        return *this;
    }
    operator bool() const { return v_.load(std::memory_order_relaxed); }

private:
    std::atomic<bool> v_;
};

struct SettingsRecord
{
    bool autorun = false;
    SharedFlag sounds;
    bool immediatelyOpen = false;
    std::int32_t destination = 0;
    bool annotate = false;
    std::int32_t hotkey = 0;
    std::int32_t hotkeyMod = 0;
    QString targetFolder;
    QString imageFormat;
};

// Meaningless until LoadSettings has run; changed only on the user-interface thread.
extern SettingsRecord Settings;

// One value of the record kept under kSettingsKey. A flag is stored as "1" or "0" and read by
// ParseFlag, a number as decimal text read by ParseInt, a text as it is.
struct SettingsField
{
    QStringView storeName;
    std::variant<bool SettingsRecord::*, SharedFlag SettingsRecord::*,
                 std::int32_t SettingsRecord::*, QString SettingsRecord::*>
        member;
    // The text read when the store holds none.
    QStringView defaultText;
    // The text read instead of an empty one (stored or default); null: the empty text stands.
    QString (*whenEmpty)() = nullptr;
};

// In the order they are loaded and saved. The autostart flag (autorun) is not among them: it is
// the autostart entry's presence, not a stored value.
extern const std::array<SettingsField, 8> kSettingsFields;

inline constexpr QStringView kSettingsKey = u"Software\\Tarvo";
inline constexpr QStringView kRunKey = u"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
inline constexpr QStringView kShellFoldersKey =
    u"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";

// Also clears what an interrupted save left behind, and reports a store that cannot be read.
void LoadSettings();
// false when the store refused the save; the failure has been reported to the user already.
bool SaveSettings();
// ~/Pictures: the target folder when neither the store nor the desktop names one.
QString DefaultPicturesFolder();

QString ReadRegistryText(platform::HKey root, QStringView subKey, QStringView name,
                         const QString& defaultText = QString());
void WriteRegistryFlag(QStringView name, bool flag);
void WriteRegistryText(QStringView subKey, QStringView name, QStringView text);

// True unless the text is exactly "0".
bool ParseFlag(QStringView text);
// Decimal with leading blanks and a sign; stops at the first non-digit; saturates at the
// 32-bit limits; no digits give 0.
std::int32_t ParseInt(QStringView text);

} // namespace tarvo
