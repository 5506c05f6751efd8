#include "app/DesktopFont.h"

#include <QApplication>
#include <QFont>

void ApplyDesktopFont() {
    QFont font;
    font.setFamilies({QString::fromUtf8("宋体"), "SimSun", "NSimSun", "Noto Sans CJK SC", "Noto Sans CJK",
                      "Noto Serif CJK SC", "WenQuanYi Micro Hei", "Droid Sans Fallback"});
    font.setPixelSize(12);
    QApplication::setFont(font);
}
