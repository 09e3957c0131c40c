#include "settings/title_dialog.h"

#include "settings/dialogs.h"
#include "ui_dialog150.h"

namespace tarvo {

QString CutTitle(const QString& text)
{
    if (text.size() <= CTitleDlg::kMaxTitle) return text;
    qsizetype n = CTitleDlg::kMaxTitle;
    // Half a surrogate pair would reach the server as an unpaired code unit.
    if (text.at(n - 1).isHighSurrogate() && text.at(n).isLowSurrogate()) --n;
    return text.left(n);
}

CTitleDlg::CTitleDlg(QWidget* parent) : QDialog(parent), ui_(std::make_unique<Ui::Dialog150>())
{
    ui_->setupUi(this);
    connect(ui_->id1, &QPushButton::clicked, this, &CTitleDlg::accept);
    connect(ui_->id2, &QPushButton::clicked, this, &CTitleDlg::reject);
}

CTitleDlg::~CTitleDlg() = default;

int CTitleDlg::DoModal()
{
    ui_->id1002->setText(title);
    resize(size().expandedTo(minimumSizeHint()));
    return RunModal(*this);
}

void CTitleDlg::accept()
{
    title = CutTitle(ui_->id1002->text());
    QDialog::accept();
}

} // namespace tarvo
