// Holds what the kit's test needs held, as another program might:
//   standin.exe hold-guard FILE   holds quorvane.exe's guard until FILE is
//                                 deleted (created once the guard is held);
//   standin.exe hold PATH FILE    holds the file or folder PATH open without
//                                 sharing, in the same way;
//   standin.exe hold-name FILE    takes the guard's name for an event, as any
//                                 user's program may, in the same way.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

// Creates FILE, then waits until it is deleted: 0, or 1 when it could not be created.
int Hold(HANDLE held, const wchar_t* file) {
  if (!held || held == INVALID_HANDLE_VALUE)
    return 1;
  HANDLE ready = CreateFileW(file, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (ready != INVALID_HANDLE_VALUE)
    CloseHandle(ready);
  for (int waited = 0; waited < 60000 && GetFileAttributesW(file) != INVALID_FILE_ATTRIBUTES; waited += 20)
    Sleep(20);
  CloseHandle(held);
  return ready == INVALID_HANDLE_VALUE ? 1 : 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 3 && std::wstring(argv[1]) == L"hold-guard")
    return Hold(CreateMutexW(nullptr, FALSE, L"Quorvane Execute Mutex Name"), argv[2]);
  if (argc == 3 && std::wstring(argv[1]) == L"hold-name")
    return Hold(CreateEventW(nullptr, FALSE, FALSE, L"Quorvane Execute Mutex Name"), argv[2]);
  if (argc == 4 && std::wstring(argv[1]) == L"hold")
    return Hold(CreateFileW(argv[2], GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr),
                argv[3]);
  fwprintf(stderr, L"stand-in: unexpected command line\n");
  return ERROR_INVALID_PARAMETER;
}
