#pragma once
// The pictures of the upgrade windows, drawn here rather than shipped: the
// wizard's 118 x 218 side picture and the 32 x 32 icons of the question and
// password windows; and the one conversion of the message table's texts.
#include <QPixmap>
#include <QString>

#include "platform/AnsiString.h"

QPixmap WizardSidePicture();
QPixmap UpgradeQuestionIcon();
QPixmap UpgradePasswordIcon();

// A text of the message table for a label: code page 936 to Unicode, and
// its carriage returns as line breaks.
QString UpgradeText(const AnsiString& text);
