#include "guard.h"

#include "selective_suspend.h"

namespace {

constexpr wchar_t kEnableSwitch[] = L"-enable";

// Stops at the first difference, so a shorter argument is never read past its terminator.
int SameText(const wchar_t* a, const wchar_t* b) {
  for (; *a == *b; ++a, ++b) {
    if (*a == L'\0')
      return 1;
  }
  return 0;
}

}  // namespace

int HasEnableSwitch(int argc, const wchar_t* const* argv) {
  for (int i = 1; i < argc; ++i) {
    if (SameText(argv[i], kEnableSwitch))
      return 1;
  }
  return 0;
}

int RunSingleInstance(int argc, const wchar_t* const* argv) {
  // The mutex is only a presence marker: never owned, never waited on.
  HANDLE guard = CreateMutexW(nullptr, FALSE, kGuardName);
  if (!guard)
    return kStatusGuardTaken;
  int status = kStatusGuardTaken;
  if (GetLastError() != ERROR_ALREADY_EXISTS)
    status = WriteSelectiveSuspend(HasEnableSwitch(argc, argv)) ? kStatusWritten : kStatusNotWritten;
  CloseHandle(guard);
  return status;
}
