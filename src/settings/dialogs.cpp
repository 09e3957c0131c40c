#include "settings/dialogs.h"

namespace tarvo {

int RunModal(QDialog& dialog)
{
    return dialog.exec() == QDialog::Accepted ? IDOK : IDCANCEL;
}

} // namespace tarvo
