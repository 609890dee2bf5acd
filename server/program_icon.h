#pragma once

#include <QIcon>

// The program's own pictures, drawn in the 16 colours of the standard palette.

// The program icon: a 32 x 32 and a 16 x 16 image.
QIcon ProgramIcon();

// The tray control's own 32 x 32 icon.
QIcon TrayIconImage();
