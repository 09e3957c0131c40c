#include "settings/settings.h"

#include "platform/hresult.h"
#include "platform/paths.h"
#include "platform/report.h"
#include "platform/wformat.h"
#include "settings/service.h"

#include <QDir>
#include <limits>

namespace tarvo {

SettingsRecord Settings;

using platform::HKey;

bool ParseFlag(QStringView text)
{
    return text != u"0";
}

std::int32_t ParseInt(QStringView text)
{
    qsizetype i = 0;
    auto isBlank = [](QChar c) {
        return c == u' ' || c == u'\t' || c == u'\n' || c == u'\v' || c == u'\f' || c == u'\r';
    };
    while (i < text.size() && isBlank(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
    std::int64_t value = 0;
    constexpr std::int64_t limit = std::int64_t(std::numeric_limits<std::int32_t>::max()) + 1;
    for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
        value = value * 10 + (text[i].unicode() - u'0');
        if (value > limit) value = limit; // saturate; further digits change nothing
    }
    if (negative) return std::int32_t(-value);
    return value >= limit ? std::numeric_limits<std::int32_t>::max() : std::int32_t(value);
}

QString ReadRegistryText(HKey root, QStringView subKey, QStringView name,
                         const QString& defaultText)
{
    const auto value = platform::RegQueryValue(root, subKey, name);
    if (!value) return defaultText;
    if (value->type != platform::REG_SZ && value->type != platform::REG_EXPAND_SZ)
        return defaultText;
    // The stored bytes may lack the terminating zero or hold an embedded one.
    QString text(reinterpret_cast<const QChar*>(value->data.constData()), value->data.size() / 2);
    const qsizetype zero = text.indexOf(QChar(0));
    if (zero >= 0) text.truncate(zero);
    if (value->type == platform::REG_EXPAND_SZ) text = platform::ExpandEnvironmentStrings(text);
    return text;
}

void WriteRegistryText(QStringView subKey, QStringView name, QStringView text)
{
    platform::RegSetValue(HKey::CurrentUser, subKey, name, platform::MakeRegText(text));
}

void WriteRegistryFlag(QStringView name, bool flag)
{
    WriteRegistryText(kSettingsKey, name, flag ? u"1" : u"0");
}

QString DefaultPicturesFolder()
{
    return QDir::homePath() + QStringLiteral("/Pictures");
}

namespace {

QString defaultHotkey()
{
    return Format(u"%i", 44);
}

// The desktop's pictures folder; never the folder the process happened to start in.
QString defaultTargetFolder()
{
    const QString folder = ReadRegistryText(HKey::CurrentUser, kShellFoldersKey, u"My Pictures");
    return folder.isEmpty() ? DefaultPicturesFolder() : folder;
}

template <class... F> struct Overloaded : F...
{
    using F::operator()...;
};
template <class... F> Overloaded(F...) -> Overloaded<F...>;

} // namespace

const std::array<SettingsField, 8> kSettingsFields{{
    {u"Sounds", &SettingsRecord::sounds, u"1"},
    {u"ImmediatelyOpen", &SettingsRecord::immediatelyOpen, u"0"},
    {u"Destination", &SettingsRecord::destination, u"0"},
    {u"Annotate", &SettingsRecord::annotate, u"0"},
    {u"Hotkey", &SettingsRecord::hotkey, u"", &defaultHotkey},
    {u"HotkeyMod", &SettingsRecord::hotkeyMod, u"0"},
    {u"Target Folder", &SettingsRecord::targetFolder, u"", &defaultTargetFolder},
    {u"Image Format", &SettingsRecord::imageFormat, u"image/png"},
}};

namespace {

void reportUnreadableStore(int err)
{
    const QString path = platform::StoreFilePath();
    platform::ReportFailure(
        platform::Failure::StoreUnreadable,
        Format(u"Cannot read settings file %s: %s; it is kept and nothing is saved", path,
               SystemErrorText(err)),
        Format(u"Не удалось прочитать файл настроек %s (%s). Файл не изменён, изменения "
               u"настроек не сохраняются.",
               path, SystemErrorText(err)));
}

} // namespace

void LoadSettings()
{
    platform::RemoveStaleStoreTemporaries();
    if (const int err = platform::StoreReadError()) reportUnreadableStore(err);

    Settings.autorun = !ReadRegistryText(HKey::CurrentUser, kRunKey, u"Tarvo").isEmpty();
    for (const SettingsField& field : kSettingsFields) {
        QString text = ReadRegistryText(HKey::CurrentUser, kSettingsKey, field.storeName,
                                        field.defaultText.toString());
        if (text.isEmpty() && field.whenEmpty) text = field.whenEmpty();
        std::visit(Overloaded{
                       [&](bool SettingsRecord::*m) { Settings.*m = ParseFlag(text); },
                       [&](SharedFlag SettingsRecord::*m) { Settings.*m = ParseFlag(text); },
                       [&](std::int32_t SettingsRecord::*m) { Settings.*m = ParseInt(text); },
                       [&](QString SettingsRecord::*m) { Settings.*m = text; },
                   },
                   field.member);
    }
    // Not part of the record and never written back: an administrator's choice.
    SetConfiguredServiceUrl(ReadRegistryText(HKey::CurrentUser, kSettingsKey, u"Service URL"));
}

bool SaveSettings()
{
    // One locked rewrite of the store for the whole record.
    platform::RegBatch batch;
    ClearSystemError();
    const bool autostartSaved =
        Settings.autorun ? platform::RegSetValue(HKey::CurrentUser, kRunKey, u"Tarvo",
                                                 platform::MakeRegText(platform::ModuleFileName()))
                         : platform::RegDeleteValue(HKey::CurrentUser, kRunKey, u"Tarvo");
    const int autostartError = LastSystemError();
    if (!autostartSaved) {
        const QString path = platform::AutostartFilePath();
        platform::ReportFailure(platform::Failure::StoreSave,
                                Format(u"Cannot save the autostart entry %s: %s", path,
                                       SystemErrorText(autostartError)),
                                Format(u"Не удалось сохранить автозапуск в %s (%s).", path,
                                       SystemErrorText(autostartError)));
    }
    for (const SettingsField& field : kSettingsFields) {
        const QStringView name = field.storeName;
        std::visit(Overloaded{
                       [&](bool SettingsRecord::*m) { WriteRegistryFlag(name, Settings.*m); },
                       [&](SharedFlag SettingsRecord::*m) { WriteRegistryFlag(name, Settings.*m); },
                       [&](std::int32_t SettingsRecord::*m) {
                           WriteRegistryText(kSettingsKey, name, Format(u"%i", Settings.*m));
                       },
                       [&](QString SettingsRecord::*m) {
                           WriteRegistryText(kSettingsKey, name, Settings.*m);
                       },
                   },
                   field.member);
    }
    if (batch.Commit()) return autostartSaved;
    if (const int err = platform::StoreReadError()) {
        reportUnreadableStore(err);
        return false;
    }
    const int err = platform::RegLastStoreError();
    const QString path = platform::StoreFilePath();
    platform::ReportFailure(
        platform::Failure::StoreSave,
        Format(u"Cannot save settings to %s: %s", path, SystemErrorText(err)),
        Format(u"Не удалось сохранить настройки в %s (%s).", path, SystemErrorText(err)));
    return false;
}

} // namespace tarvo
