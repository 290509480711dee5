// The program's icon: a fibre coil with a rotation arrow, drawn here so the
// program needs no image plugin. ratelog.svg is the same drawing for the
// desktop's menus.
#pragma once

#include <QIcon>
#include <QPixmap>

QPixmap ProgramPixmap(int size);
QIcon ProgramIcon();
