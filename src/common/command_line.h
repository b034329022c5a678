#ifndef QUORVANE_COMMAND_LINE_H
#define QUORVANE_COMMAND_LINE_H

#include <stddef.h>

struct ArgumentSizes {
  size_t count;       // arguments, the program name included
  size_t characters;  // wide characters of all arguments, terminators included
};

// Splits a wide command line into arguments by the Microsoft C runtime's
// rules. With argv and text null it only measures; given storage of the
// measured sizes (argv: count + 1 pointers, the last set to null) it fills it.
ArgumentSizes SplitCommandLine(const wchar_t* line, wchar_t** argv, wchar_t* text);

#endif
