#include "upgrade/UpgraderImage.h"

// Defined by the generated UpgraderImage.S.
extern "C" const unsigned char quorvel_upgrader_image[];
extern "C" const unsigned char quorvel_upgrader_image_end[];

std::span<const unsigned char> UpgraderImage() {
    return {quorvel_upgrader_image, quorvel_upgrader_image_end};
}
