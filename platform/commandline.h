// The rule both entries use to cut the program name off the command line.
#pragma once

#include "platform/base.h"

// The text after the program name: the name is a quoted part, or runs up
// to the first character at or below the space; then every character from
// code 1 to 32 is skipped.
LPSTR TextAfterProgramName(LPSTR line);
