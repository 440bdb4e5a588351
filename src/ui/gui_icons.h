// The application's icons, drawn here rather than shipped as pictures, so that every size is
// sharp. Items differ by shape as well as by colour: a verdict reads the same to a user who
// cannot tell red from green.
#pragma once

#include <QIcon>

namespace harrow::gui {

// Icon numbers: the item kinds and FAT verdicts (140 ... 206), the drive types of the drive
// selection (132 removable, 134 fixed, 191 RAM disk), and the FAT choice (197 a usable copy,
// 199 a copy that does not fit).
QIcon itemIcon(int number);
// A toolbar or menu command by its id: the desktop theme's icon where it has a fitting one,
// else one of ours.
QIcon commandIcon(int commandId);
QIcon appIcon();
// Registers the compiled-in resources (icon, help pages); the linker drops them from a static
// library unless something names them. Safe to call more than once.
void loadResources();

}  // namespace harrow::gui
