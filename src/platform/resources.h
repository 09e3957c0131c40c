#pragma once
// The program's own resources by their numeric ids: strings, icons, the cursor, the splash
// bitmap and the two wave sounds, compiled into the program with the Qt resource system.
#include <QByteArray>
#include <QCursor>
#include <QIcon>
#include <QPixmap>
#include <QString>

namespace tarvo {

enum ResourceId : int
{
    IDS_TARVO = 100,
    IDS_ABOUT = 101,
    IDS_OPTIONS = 102,
    IDS_EXIT = 103,
    IDS_CAPTURE = 104,
    IDS_VISIT_SITE = 106,
    IDS_NEW_VERSION = 107,
    IDS_TOOLTIP_IDLE = 108,
    IDS_ALREADY_RUNNING = 109,
    IDS_TOOLTIP_SENDING = 110,
    IDS_CLEAR_HISTORY = 111,
    IDS_SEND_TO_WEB = 112,
    IDS_SEND_TO_CLIPBOARD = 113,
    IDS_OUTDATED = 115,
    IDS_SEND_TO_FILE = 140,

    IDI_TARVO = 128,
    IDB_SPLASH = 131,
    IDC_SELECT = 134,
    IDI_SENDING = 136,
    IDW_SUCCESS = 137,
    IDW_FAILURE = 138,
};

// Empty text for an id the table does not hold.
QString LoadStringResource(int id);
// The icon with all its sizes; a null icon for an unknown id.
QIcon LoadIconResource(int id);
QPixmap LoadBitmapResource(int id);
// Cursor 134 with its hot spot (16, 11).
QCursor LoadCursorResource(int id);
// The whole RIFF/WAVE file; empty for an unknown id.
QByteArray LoadWaveResource(int id);

} // namespace tarvo
