#pragma once
// The registry export text format ("Windows Registry Editor Version 5.00"), used as the
// settings store so that keys, value names, types and texts stand as they would in a registry
// and a person can read and edit the file.
#include <QByteArray>
#include <QList>
#include <QString>
#include <cstdint>

namespace tarvo::platform {

constexpr std::uint32_t REG_NONE = 0;
constexpr std::uint32_t REG_SZ = 1;
constexpr std::uint32_t REG_EXPAND_SZ = 2;
constexpr std::uint32_t REG_BINARY = 3;
constexpr std::uint32_t REG_DWORD = 4;

struct RegValue
{
    std::uint32_t type = REG_NONE;
    QByteArray data; // raw bytes as the registry keeps them: texts are UTF-16LE with their zero

    bool operator==(const RegValue&) const = default;
};

RegValue MakeRegText(QStringView text, std::uint32_t type = REG_SZ);
RegValue MakeRegDword(std::uint32_t value);

struct RegEntry
{
    QString name; // empty for the default value ("@")
    RegValue value;
};

struct RegKey
{
    QString path; // e.g. HKEY_CURRENT_USER\Software\Tarvo
    QList<RegEntry> values;
};

// One parsed file. Parsing never fails: lines that cannot be read are counted and skipped,
// every readable value still counts. Key and value names compare case-insensitively.
class RegDocument
{
public:
    static RegDocument Parse(const QByteArray& bytes);
    QByteArray Serialize() const;

    int unreadableLines() const { return unreadable_; }
    const RegValue* Find(QStringView keyPath, QStringView name) const;
    void Set(QStringView keyPath, QStringView name, const RegValue& value);
    bool Remove(QStringView keyPath, QStringView name);
    const QList<RegKey>& keys() const { return keys_; }

private:
    RegKey* findKey(QStringView path);
    QList<RegKey> keys_;
    int unreadable_ = 0;
};

} // namespace tarvo::platform
