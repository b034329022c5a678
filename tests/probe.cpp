// A test-only program on the product's start-up, reporting what it was given
// through its exit status.
//   probe status N   returns N (decimal)
//   probe ...        returns ArgumentsHash of its argument count and vector
#include "arguments_hash.h"

namespace {

bool Same(const wchar_t* a, const wchar_t* b) {
  for (; *a == *b; ++a, ++b) {
    if (!*a)
      return true;
  }
  return false;
}

unsigned Decimal(const wchar_t* text) {
  unsigned value = 0;
  for (; *text >= L'0' && *text <= L'9'; ++text)
    value = value * 10 + static_cast<unsigned>(*text - L'0');
  return value;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 3 && Same(argv[1], L"status"))
    return static_cast<int>(Decimal(argv[2]));
  return static_cast<int>(ArgumentsHash(argc, argv));
}
