#pragma once
// The screen through the desktop portal (org.freedesktop.portal.Screenshot), for compositors
// that keep their pixels to themselves (GNOME, KDE) and for TARVO_SCREEN_COPY=portal.
#include "platform/wayland/screen_copy.h"

#include <QImage>
#include <QRect>
#include <QString>
#include <vector>

namespace tarvo::platform::wayland {

// Asks the portal on the session bus for a non-interactive screenshot and waits for its answer
// in a local event loop (a QCoreApplication must exist), at most timeoutMs. The portal's file
// is read and, when it lies in a temporary folder, deleted. *outputs gets the toolkit's screens
// in the picture's pixels where a QGuiApplication runs and they cover the picture, else one
// output as large as the picture. A refusal, a missing portal or no answer in time give a null
// picture and *error says which.
QImage PortalScreenshot(QRect* area, std::vector<WaylandOutput>* outputs, QString* error,
                        int timeoutMs = 10000);

// The object path of the Request the portal makes for this caller's token: the unique bus name
// without its colon, dots made underscores.
QString PortalRequestPath(const QString& uniqueName, const QString& token);

// Whether the portal's file is one of the temporary copies it leaves to its caller.
bool PortalFileIsTemporary(const QString& path);

// The copy the program uses: direct where the compositor offers it and the portal is not
// forced, the portal otherwise.
QImage CopyScreen(QRect* area, std::vector<WaylandOutput>* outputs, QString* error);

} // namespace tarvo::platform::wayland
