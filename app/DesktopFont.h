#pragma once
// The program's font: 宋体 at 12 pixels where it is installed, else a CJK
// font of the system, so Chinese text always renders.
void ApplyDesktopFont();
