#pragma once
// The upgrader program (upgrade/upgrader/), built with the program and carried
// inside it, so an upgrade never depends on a file that may be missing.
#include <span>

std::span<const unsigned char> UpgraderImage();
