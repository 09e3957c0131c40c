#pragma once
// Asks for the title of a screenshot before it is uploaded.
#include <QDialog>
#include <QString>
#include <memory>

namespace Ui {
class Dialog150;
}

namespace tarvo {

class CTitleDlg : public QDialog
{
    Q_OBJECT
public:
    // The longest title the upload takes, in UTF-16 code units.
    static constexpr qsizetype kMaxTitle = 63;

    explicit CTitleDlg(QWidget* parent = nullptr);
    ~CTitleDlg() override;

    // Shows `title` for editing; on OK `title` becomes the (cut) text, on Cancel it stays.
    int DoModal();

    QString title;

public Q_SLOTS:
    void accept() override;

private:
    std::unique_ptr<Ui::Dialog150> ui_;
};

// The first kMaxTitle code units of the text, one fewer when the cut would split a surrogate
// pair.
QString CutTitle(const QString& text);

} // namespace tarvo
