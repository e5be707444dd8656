// The switch syntax shared by both programs: "/" and one letter, with an
// optional value; "//" reads like "/". Every advance over a character goes
// through CharNextA, which never moves past the terminating zero.
#pragma once

#include "platform/base.h"

// Skips space characters (only the space itself).
LPCSTR SkipSpaces(LPCSTR text);

// Given the text after a switch and its value (or the start of the line),
// skips spaces and, when a switch follows, returns its letter position;
// returns null when scanning ends.
LPCSTR NextSwitchLetter(LPCSTR text);

// What scanning one command line has learnt so far: from `quotelessFrom`
// on, the line holds no '"'. Each line starts with a zeroed one, so that
// a line of many unterminated values is not searched again for each.
struct SwitchScan
{
    LPCSTR quotelessFrom;
};

// Takes a quoted switch value: the character after the letter is skipped
// unexamined (it is meant to be the opening quote), and the value runs to
// the next '"' byte, cut to `limit` characters. The value and its zero byte
// are copied over the start of `value`, so bytes of a longer earlier value
// stay behind the new zero. Without a closing quote the value is empty.
// Returns where scanning goes on: after the closing quote, or else at the
// first character after the skipped one.
LPCSTR TakeQuotedValue(LPCSTR letter, LPSTR value, int limit, SwitchScan* scan);
