#pragma once
#include <QStringList>

namespace tarvo::platform {

// Starts a program with arguments directly (no shell), detached, with our environment and
// current folder. True when the program was started.
bool SpawnDetached(const QStringList& argv);

// Hands a link or a file to the desktop's own opener (xdg-open), detached. True when the opener
// was started.
bool OpenWithDesktop(const QString& text);

// Splits a command-line template into arguments: blanks separate them, double quotes group
// them (a backslash inside quotes escapes ", `, $ and \).
QStringList SplitCommandLine(QStringView commandLine);

} // namespace tarvo::platform
