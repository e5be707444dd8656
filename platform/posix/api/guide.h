// What the Linux entry knows of the program it starts, beyond WinMain: its
// --help text, and the switch whose quoted value a shell can strip. Each
// program's build on Linux defines programGuide once (guide_<program>.cpp).
#pragma once

#include "platform/base.h"

namespace win95
{

struct ProgramGuide
{
    const char* name;      // the program's name, for --version and warnings
    const char* usage;     // the --help text, whole lines
    char valueSwitch;      // the letter of the switch with the quoted value: 'P' or 'D'
    const char* valueName; // what that value is: "port", "driver name"
    const char* example;   // a typical value, for the advice on how to type it
    // After WinMain: true when the run read that value as empty and it
    // matters (the installer ran its steps; the remover has nothing to look for).
    bool (*ValueCameOutEmpty)(LPCSTR commandText);
    // Whether an empty value is worth a line when no such switch was typed.
    bool warnWithoutSwitch;
};

extern const ProgramGuide programGuide;

} // namespace win95
