// A test-only program on the product's start-up, reporting what it was given
// through its exit status.
//   probe status N   returns N (decimal)
//   probe guard      returns the stack guard's value, folded to 32 bits
//   probe overrun N  writes N bytes into an 8-byte local array, then returns
//   probe ...        returns ArgumentsHash of its argument count and vector
#include <windows.h>

#include "arguments_hash.h"

extern "C" UINT_PTR __stack_chk_guard;

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

// noinline: the overwritten frame must be this function's own.
__attribute__((noinline)) int Overrun(unsigned length) {
  volatile char buffer[8];
  for (unsigned i = 0; i < length; ++i)
    buffer[i] = 'x';
  return buffer[0];
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 3 && Same(argv[1], L"status"))
    return static_cast<int>(Decimal(argv[2]));
  if (argc == 2 && Same(argv[1], L"guard"))
    return static_cast<int>(__stack_chk_guard ^ (__stack_chk_guard >> 32));
  if (argc == 3 && Same(argv[1], L"overrun"))
    return Overrun(Decimal(argv[2]));
  return static_cast<int>(ArgumentsHash(argc, argv));
}
