#ifndef QUORVANE_TEXT_H
#define QUORVANE_TEXT_H

#include <windows.h>

// A bounded wide string for the kit's messages: no heap, always terminated.
// What does not fit is cut and marked, never written past the end.
constexpr DWORD kTextCapacity = 1024;

struct Text {
  wchar_t data[kTextCapacity];
  DWORD length;
};

void Clear(Text* text);
void Append(Text* text, const wchar_t* part);
void AppendNumber(Text* text, DWORD number);
void AppendHex(Text* text, DWORD number);
// An error code as Windows' tools print it: decimal for small codes, hex for the rest.
void AppendError(Text* text, DWORD error);
// " (error N)": how the kit's messages end a failure.
void AppendErrorNote(Text* text, DWORD error);
int SameText(const wchar_t* a, const wchar_t* b);
int StartsWith(const wchar_t* text, const wchar_t* prefix);

#endif
