#pragma once
// The program's command line: --help, --version and --capture [clipboard|file|web]. Parsed
// before the toolkit connects to the display, so --help and --version work without one.
#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>

namespace tarvo {

// --capture without a destination: the one chosen in the tray menu.
inline constexpr std::int32_t kMenuDestination = -1;

struct CommandLine
{
    bool exit = false;                   // print, then end with exitCode
    int exitCode = 0;                    // 0, or 2 for a command line the program cannot use
    QString output;                      // for standard output (help, version)
    QString error;                       // one line for standard error
    std::optional<std::int32_t> capture; // a destination code or kMenuDestination
};

// args includes the program name first, as argv does. russian picks the language of the texts.
CommandLine ParseCommandLine(const QStringList& args, bool russian);

// Whether the desktop's language is Russian (LC_ALL, LC_MESSAGES, LANG).
bool PrefersRussian();

// Parses argv, prints what there is to print and, for --capture, hands the capture to a
// running instance. Returns the exit code when the process should end now.
std::optional<int> HandleCommandLine(int argc, char** argv, std::optional<std::int32_t>* capture);

// The message a --capture start sends to the running instance, and its reading there.
QByteArray CaptureMessage(std::int32_t destination);
std::optional<std::int32_t> ReadCaptureMessage(const QByteArray& message);

} // namespace tarvo
