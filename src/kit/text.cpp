#include "text.h"

namespace {

constexpr wchar_t kCut[] = L" ...";
constexpr DWORD kCutLength = sizeof kCut / sizeof kCut[0] - 1;

}  // namespace

void Clear(Text* text) {
  text->length = 0;
  text->data[0] = L'\0';
}

void Append(Text* text, const wchar_t* part) {
  for (; *part; ++part) {
    if (text->length + 1 >= kTextCapacity) {
      // Mark the cut so that a shortened name is never read as a whole one.
      DWORD at = kTextCapacity - 1 - kCutLength;
      for (const wchar_t* c = kCut; *c; ++c)
        text->data[at++] = *c;
      text->data[at] = L'\0';
      text->length = at;
      return;
    }
    text->data[text->length++] = *part;
  }
  text->data[text->length] = L'\0';
}

void AppendNumber(Text* text, DWORD number) {
  wchar_t digits[11];
  wchar_t* p = digits + 10;
  *p = L'\0';
  do {
    *--p = static_cast<wchar_t>(L'0' + number % 10);
    number /= 10;
  } while (number);
  Append(text, p);
}

void AppendHex(Text* text, DWORD number) {
  wchar_t digits[11] = L"0x";
  int at = 2;
  for (int shift = 28; shift >= 0; shift -= 4) {
    const DWORD digit = (number >> shift) & 0xF;
    if (digit || at > 2 || shift == 0)
      digits[at++] = L"0123456789ABCDEF"[digit];
  }
  digits[at] = L'\0';
  Append(text, digits);
}

void AppendError(Text* text, DWORD error) {
  if (error < 0x10000)
    AppendNumber(text, error);
  else
    AppendHex(text, error);
}

void AppendErrorNote(Text* text, DWORD error) {
  Append(text, L" (error ");
  AppendError(text, error);
  Append(text, L")");
}

int SameText(const wchar_t* a, const wchar_t* b) {
  for (; *a == *b; ++a, ++b) {
    if (*a == L'\0')
      return 1;
  }
  return 0;
}

int StartsWith(const wchar_t* text, const wchar_t* prefix) {
  for (; *prefix; ++text, ++prefix) {
    if (*text != *prefix)
      return 0;
  }
  return 1;
}
