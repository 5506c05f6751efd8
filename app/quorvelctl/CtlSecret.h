#pragma once
// Secrets for quorvelctl come from a file or from standard input, never from
// the command line, which every user of the machine can read in the process list.
#include <string>

// The first line of the file at `source`, or of standard input for "-",
// without its line end. A file that cannot be read raises Exception.
std::string ReadSecretLine(const std::string& source);
