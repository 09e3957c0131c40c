#pragma once
// The settings subsystem's modal dialogs: options, annotation and about.
#include <QDialog>

namespace tarvo {

// What DoModal returns: the ids of the OK and Cancel buttons.
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;

// Runs the dialog modally: IDOK when it was accepted, IDCANCEL otherwise (the cancel button,
// Escape, or closing the window).
int RunModal(QDialog& dialog);

} // namespace tarvo

#include "settings/about_dialog.h"
#include "settings/options_dialog.h"
#include "settings/title_dialog.h"
