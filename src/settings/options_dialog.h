#pragma once
// The options dialog: every setting at once, on the dialog's own copy of the record.
#include "settings/settings.h"

#include <QDialog>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>

namespace Ui {
class Dialog152;
}
class QLabel;

namespace tarvo {

class COptionsDlg : public QDialog, public SettingsRecord
{
    Q_OBJECT
public:
    explicit COptionsDlg(QWidget* parent = nullptr);
    ~COptionsDlg() override;

    // Shows the fields, runs the dialog and, on OK only, reads the controls back into them.
    int DoModal();

    // The folder browser behind "...": the chosen folder, or the empty text when the user
    // cancels. Replaceable so tests need no real file dialog.
    std::function<QString(QWidget* owner, const QString& current)> browseForFolder;

    // Shown under the key settings when the desktop, not the program, owns the capture key:
    // what it bound, or how to bind one. Empty shows nothing.
    QString shortcutNote;

public Q_SLOTS:
    void accept() override;

private:
    void OnInitDialog();
    void OnBrowse();

    std::unique_ptr<Ui::Dialog152> ui_;
    QLabel* shortcutLabel_ = nullptr;
};

} // namespace tarvo
