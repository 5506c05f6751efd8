#pragma once
// What a file is as a program: an ELF executable of some class and machine, a
// "#!" script, or neither. A staged file takes the program's role only when it
// could run where the old program ran.
#include <cstdint>
#include <string>

struct TElfKind {
    bool Executable = false; // ELF, and a program rather than a shared library
    unsigned char Class = 0; // ELFCLASS32 / ELFCLASS64
    unsigned char Data = 0;  // byte order
    std::uint16_t Machine = 0;

    bool SameMachine(const TElfKind& other) const {
        return Executable && other.Executable && Class == other.Class && Data == other.Data &&
               Machine == other.Machine;
    }
};

// Reads the ELF header (and for position-independent files the program
// headers: a program asks for an interpreter, a library does not).
TElfKind ReadElfKind(const std::string& path);

// Whether the file begins with "#!".
bool IsScript(const std::string& path);
