#pragma once
// ImageList1: the pictures of the main window's commands, drawn by the program
// itself at start (index = the command's image index).
#include <vector>

#include <QIcon>

// 0 copy, 1 paste, 2 export, 3 import, 4 new, 5 save, 6 delete, 7 pause
// (scheduler running), 8 resume (scheduler paused), 9 settings, 10 about, 11 help.
std::vector<QIcon> MakeImageList1();
