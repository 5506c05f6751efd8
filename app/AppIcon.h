#pragma once
// The program's icon (window, notification area, about box): a database
// cylinder with an arrow into an envelope, drawn by the program.
#include <QIcon>

QIcon ApplicationIcon();
