// Holds quorvane.exe's guard for the kit's test, as another program might:
//   standin.exe hold-guard FILE   holds it until FILE is deleted (created
//                                 once the guard is held).
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

int HoldGuard(const wchar_t* file) {
  HANDLE guard = CreateMutexW(nullptr, FALSE, L"Quorvane Execute Mutex Name");
  if (!guard)
    return 1;
  HANDLE ready = CreateFileW(file, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (ready != INVALID_HANDLE_VALUE)
    CloseHandle(ready);
  for (int waited = 0; waited < 60000 && GetFileAttributesW(file) != INVALID_FILE_ATTRIBUTES; waited += 20)
    Sleep(20);
  CloseHandle(guard);
  return ready == INVALID_HANDLE_VALUE ? 1 : 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 3 && std::wstring(argv[1]) == L"hold-guard")
    return HoldGuard(argv[2]);
  fwprintf(stderr, L"stand-in: unexpected command line\n");
  return ERROR_INVALID_PARAMETER;
}
