// Tool-bar icons of the main window that the icon theme may lack: each is
// taken from the theme when it has one, else drawn here, so that every
// action has a picture of its own that also looks disabled when it is.
#pragma once

#include <QIcon>

// A printer: paper sheet over a printer body.
QIcon PrinterIcon();
// A slider with a knob, for the "Control" panel.
QIcon ControlPanelIcon();
// The theme's icon `themeName` when the theme has it, else `drawn`.
QIcon ThemeOr(const char* themeName, const QIcon& drawn);
