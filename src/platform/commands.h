#pragma once
// Command numbers of the main window. Menus and the tray icon send them, the hotkey posts 19,
// workers and the capture pipeline send them and wait.
#include <QString>
#include <cstdint>

namespace tarvo {

enum Command : std::int32_t
{
    CmdAbout = 16,
    CmdShow = 17,
    CmdExit = 18,
    CmdCapture = 19,
    CmdAddHistory = 20, // param: const QString* owned by the sender
    CmdAutorunClear = 21,
    CmdAutorunOff = 22,
    CmdVisitSite = 23,
    CmdRefreshIcon = 24,
    CmdClearHistory = 25,
    CmdSendToWeb = 26,
    CmdSendToClipboard = 27,
    CmdSoundsOn = 28,
    CmdSoundsOff = 29,
    CmdToggleAnnotate = 30,
    CmdOptions = 31,
    CmdSendToFile = 32,
    CmdAskTitle = 33,       // param: TitleRequest* owned by the sender
    CmdHistoryFirst = 4096, // + index of the entry, 0 = oldest
};

constexpr std::int32_t SC_MINIMIZE = 0xF020;
constexpr std::int32_t SC_CLOSE = 0xF060;

// Passed by address with CmdAskTitle; the sender owns both fields.
struct TitleRequest
{
    std::int32_t result = 2;  // in: 2 (cancel); out: the dialog's result, 1 for OK
    QString* title = nullptr; // in: the initial title; out: the entered one when result is 1
};

} // namespace tarvo
