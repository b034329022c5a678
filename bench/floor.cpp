// The floor for any program of this kind: the same start-up, flags, manifest
// and imports as quorvane.exe, and an entry that only returns.
#include <windows.h>

int wmain(int argc, wchar_t**) {
  // Never true; it keeps advapi32 among the imports, as quorvane.exe has it:
  // loading it is much of what a start costs.
  if (argc < 0)
    RegCloseKey(HKEY_LOCAL_MACHINE);
  return 0;
}
