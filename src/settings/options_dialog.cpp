#include "settings/options_dialog.h"

#include "platform/hotkey.h"
#include "settings/dialogs.h"
#include "settings/image_formats.h"
#include "settings/keynames.h"
#include "ui_dialog152.h"

#include <QBoxLayout>
#include <QFileDialog>
#include <QLabel>

namespace tarvo {

namespace {

// Items in the order given; the selection is the item equal to `current`, or none at all.
void FillList(QComboBox* list, const QStringList& items, const QString& current)
{
    list->clear();
    list->addItems(items);
    // A non-editable combo box selects its first item by itself; an unknown value must
    // show no selection, so that OK stores what the rules say and not that item.
    list->setCurrentIndex(int(items.indexOf(current)));
}

QString SelectedText(const QComboBox* list)
{
    return list->currentIndex() < 0 ? QString() : list->itemText(list->currentIndex());
}

} // namespace

COptionsDlg::COptionsDlg(QWidget* parent) : QDialog(parent), ui_(std::make_unique<Ui::Dialog152>())
{
    ui_->setupUi(this);
    connect(ui_->id1, &QPushButton::clicked, this, &COptionsDlg::accept);
    connect(ui_->id2, &QPushButton::clicked, this, &COptionsDlg::reject);
    connect(ui_->id1010, &QPushButton::clicked, this, [this] { OnBrowse(); });
    browseForFolder = [](QWidget* owner, const QString& current) {
        return QFileDialog::getExistingDirectory(owner, QString(), current);
    };
}

COptionsDlg::~COptionsDlg() = default;

int COptionsDlg::DoModal()
{
    OnInitDialog();
    return RunModal(*this);
}

void COptionsDlg::OnInitDialog()
{
    ui_->id1004->setChecked(autorun);
    ui_->id1005->setChecked(sounds);
    ui_->id1019->setChecked(immediatelyOpen);

    // An exclusive radio group refuses to uncheck its last checked button; a destination
    // outside 0..2 must show none checked.
    QRadioButton* radios[] = {ui_->id1006, ui_->id1007, ui_->id1009};
    for (int i = 0; i < 3; ++i) {
        radios[i]->setAutoExclusive(false);
        radios[i]->setChecked(destination == i);
    }
    for (QRadioButton* r : radios)
        r->setAutoExclusive(true);

    ui_->id1008->setChecked(annotate);
    ui_->id1002->setText(targetFolder);
    QStringList formats;
    for (const ImageFormat& f : kImageFormats)
        formats << f.mimeType.toString();
    FillList(ui_->id1011, formats, imageFormat);
    FillList(ui_->id1012, KeyNameList(), KeyCodeToName(hotkey));
    ui_->id1014->setChecked(hotkeyMod & MOD_ALT);
    ui_->id1013->setChecked(hotkeyMod & MOD_CONTROL);
    ui_->id1015->setChecked(hotkeyMod & MOD_SHIFT);
    // Only where the desktop owns the key; made once, right under the key settings.
    if (!shortcutNote.isEmpty() && !shortcutLabel_) {
        shortcutLabel_ = new QLabel(this);
        shortcutLabel_->setObjectName(QStringLiteral("shortcutNote"));
        shortcutLabel_->setWordWrap(true);
        shortcutLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);
        if (auto* top = qobject_cast<QBoxLayout*>(layout()))
            top->insertWidget(top->indexOf(ui_->keysGroup) + 1, shortcutLabel_);
    }
    if (shortcutLabel_) {
        shortcutLabel_->setText(shortcutNote);
        shortcutLabel_->setVisible(!shortcutNote.isEmpty());
    }

    // Room for every Cyrillic text at this font, but never smaller than the template.
    resize(size().expandedTo(minimumSizeHint()));
}

void COptionsDlg::OnBrowse()
{
    if (!browseForFolder) return;
    const QString folder = browseForFolder(this, ui_->id1002->text());
    if (!folder.isEmpty()) ui_->id1002->setText(folder);
}

void COptionsDlg::accept()
{
    autorun = ui_->id1004->isChecked();
    sounds = ui_->id1005->isChecked();
    immediatelyOpen = ui_->id1019->isChecked();
    annotate = ui_->id1008->isChecked();

    if (ui_->id1006->isChecked()) destination = 0;
    if (ui_->id1007->isChecked()) destination = 1;
    if (ui_->id1009->isChecked()) destination = 2;

    targetFolder = ui_->id1002->text();
    imageFormat = SelectedText(ui_->id1011);
    hotkey = KeyNameToCode(SelectedText(ui_->id1012));

    // Rebuilt from the three boxes: a Win modifier the value had is dropped.
    hotkeyMod = 0;
    if (ui_->id1014->isChecked()) hotkeyMod += MOD_ALT;
    if (ui_->id1013->isChecked()) hotkeyMod += MOD_CONTROL;
    if (ui_->id1015->isChecked()) hotkeyMod += MOD_SHIFT;

    QDialog::accept();
}

} // namespace tarvo
