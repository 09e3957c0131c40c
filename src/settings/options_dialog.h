#pragma once
// The options dialog: every setting at once, on the dialog's own copy of the values.
#include <QDialog>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>

namespace Ui {
class Dialog152;
}

namespace tarvo {

class COptionsDlg : public QDialog
{
    Q_OBJECT
public:
    explicit COptionsDlg(QWidget* parent = nullptr);
    ~COptionsDlg() override;

    // Shows the fields, runs the dialog and, on OK only, reads the controls back into them.
    int DoModal();

    bool autorun = false;
    bool sounds = false;
    bool immediatelyOpen = false;
    std::int32_t destination = 0;
    bool annotate = false;
    QString targetFolder;
    QString imageFormat;
    std::int32_t hotkey = 0;
    std::int32_t hotkeyMod = 0;

    // The folder browser behind "...": the chosen folder, or the empty text when the user
    // cancels. Replaceable so tests need no real file dialog.
    std::function<QString(QWidget* owner, const QString& current)> browseForFolder;

public Q_SLOTS:
    void accept() override;

private:
    void OnInitDialog();
    void OnBrowse();

    std::unique_ptr<Ui::Dialog152> ui_;
};

} // namespace tarvo
