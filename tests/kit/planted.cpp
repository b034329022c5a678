// Planted beside the companion under the names of the DLLs it must load from
// System32 only: records every load in the file the kit's test checks, as its
// planted scripts do, so that a load from the wrong folder fails the test.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH)
    return TRUE;
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
  const wchar_t* name = path;
  for (DWORD i = 0; i < length; ++i)
    if (path[i] == L'\\' || path[i] == L'/')
      name = path + i + 1;
  char line[MAX_PATH * 3 + 2];
  const int size = length ? WideCharToMultiByte(CP_ACP, 0, name, -1, line, MAX_PATH * 3, nullptr, nullptr) : 0;
  if (size <= 0)
    return TRUE;
  line[size - 1] = '\r';
  line[size] = '\n';
  // The test removes the folder between runs; the record must not be lost for want of it.
  CreateDirectoryW(L"C:\\quorvane-test", nullptr);
  HANDLE file = CreateFileW(L"C:\\quorvane-test\\planted.txt", FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    DWORD written;
    WriteFile(file, line, size + 1, &written, nullptr);
    CloseHandle(file);
  }
  return TRUE;
}
