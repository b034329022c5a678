#include "command_line.h"

namespace {

bool IsBlank(wchar_t c) {
  return c == L' ' || c == L'\t';
}

// One walk serves both passes: it stores only where storage was given.
struct Writer {
  wchar_t** argv;
  wchar_t* text;
  ArgumentSizes sizes;

  void Begin() {
    if (argv)
      argv[sizes.count] = text + sizes.characters;
    ++sizes.count;
  }
  void Put(wchar_t c) {
    if (text)
      text[sizes.characters] = c;
    ++sizes.characters;
  }
  void PutBackslashes(size_t count) {
    for (; count; --count)
      Put(L'\\');
  }
};

// The program name must be a valid path: quotes group but cannot be escaped,
// and backslashes are path separators.
const wchar_t* ProgramName(const wchar_t* p, Writer* out) {
  bool quoted = false;
  out->Begin();
  for (; *p && (quoted || !IsBlank(*p)); ++p) {
    if (*p == L'"')
      quoted = !quoted;
    else
      out->Put(*p);
  }
  out->Put(L'\0');
  return p;
}

const wchar_t* Argument(const wchar_t* p, Writer* out) {
  bool quoted = false;
  out->Begin();
  for (;;) {
    size_t backslashes = 0;
    for (; *p == L'\\'; ++p)
      ++backslashes;
    if (*p != L'"') {
      // Backslashes not before a quote are literal.
      out->PutBackslashes(backslashes);
      if (!*p || (!quoted && IsBlank(*p)))
        break;
      out->Put(*p++);
      continue;
    }
    // 2n backslashes before a quote give n and the quote delimits; 2n + 1 give
    // n and a literal quote.
    out->PutBackslashes(backslashes / 2);
    if (backslashes % 2) {
      out->Put(L'"');
    } else if (quoted && p[1] == L'"') {
      // A doubled quote inside quotes is one literal quote, and ends the quoted part.
      out->Put(L'"');
      ++p;
      quoted = false;
    } else {
      quoted = !quoted;
    }
    ++p;
  }
  out->Put(L'\0');
  return p;
}

}  // namespace

ArgumentSizes SplitCommandLine(const wchar_t* line, wchar_t** argv, wchar_t* text) {
  Writer out = {argv, text, {0, 0}};
  const wchar_t* p = ProgramName(line, &out);
  for (;;) {
    while (IsBlank(*p))
      ++p;
    if (!*p)
      break;
    p = Argument(p, &out);
  }
  if (argv)
    argv[out.sizes.count] = nullptr;
  return out.sizes;
}
