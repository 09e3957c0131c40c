#pragma once
// Placeholder dialogs until the real ones land.
#include <QDialog>
#include <QString>

#include <cstdint>
#include <functional>

namespace tarvo {

constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;

class COptionsDlg : public QDialog
{
public:
    explicit COptionsDlg(QWidget* parent = nullptr) : QDialog(parent) {}
    int DoModal() { return IDCANCEL; }
    bool autorun = false;
    bool sounds = false;
    bool immediatelyOpen = false;
    std::int32_t destination = 0;
    bool annotate = false;
    QString targetFolder;
    QString imageFormat;
    std::int32_t hotkey = 0;
    std::int32_t hotkeyMod = 0;
};

class CTitleDlg : public QDialog
{
public:
    explicit CTitleDlg(QWidget* parent = nullptr) : QDialog(parent) {}
    int DoModal() { return IDCANCEL; }
    QString title;
};

class CAboutDlg : public QDialog
{
public:
    explicit CAboutDlg(std::function<bool(const QString&)> opener, QWidget* parent = nullptr)
        : QDialog(parent), opener_(std::move(opener)) {}
    int DoModal() { return IDOK; }
private:
    std::function<bool(const QString&)> opener_;
};

} // namespace tarvo
