#pragma once
// The program's version, compiled in from the project's version.
#include "platform/AnsiString.h"

// "V" and the four parts of the file version: "V2.2.0.0".
AnsiString GetVersionText();
