#pragma once
// The system log of the service mode: error entries in the systemd journal
// (priority 3, under an identifier such as the executable's name). Where no
// journal listens the entry goes to standard error; QUORVEL_SYSTEM_LOG names a
// file that gets "identifier TAB text" lines instead (tests read it back).
#include <string>

#include "platform/AnsiString.h"

enum class TSystemLogTarget { Journal, File, StandardError };

// Writes one error entry; `text` is code page 936. Never throws. Returns where
// the entry went.
TSystemLogTarget WriteSystemLogError(const std::string& identifier, const AnsiString& text);
