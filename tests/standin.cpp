// Stands in, in the kit's test prefix only, for Windows programs that Wine
// lacks, printing and acting as Windows' own do, so that the kit's logic around
// them can run. What it does depends on the name it is installed under:
//   pnputil.exe      /enum-devices /connected|/disconnected lists the instances
//                    that QUORVANE_TEST_CONNECTED or QUORVANE_TEST_DISCONNECTED
//                    name (";"-separated) while their Enum key exists, after
//                    one device of another kind, with instance IDs upper-cased
//                    as the PnP manager reports them; /remove-device deletes
//                    the instance's Enum key; /restart-device ends with
//                    QUORVANE_TEST_RESTART.
//   eventcreate.exe  appends its arguments, "|"-separated, as a line to the
//                    file QUORVANE_TEST_EVENTS.
//   any other name   "hold-guard FILE": holds quorvane.exe's guard until FILE
//                    is deleted (created once the guard is held).
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwctype>
#include <string>
#include <vector>

namespace {

const wchar_t kEnum[] = L"SYSTEM\\CurrentControlSet\\Enum\\";

std::vector<std::wstring> Listed(const wchar_t* variable) {
  std::vector<std::wstring> result;
  const wchar_t* list = _wgetenv(variable);
  for (std::wstring rest = list ? list : L""; !rest.empty();) {
    const size_t end = std::min(rest.find(L';'), rest.size());
    result.push_back(rest.substr(0, end));
    rest.erase(0, end + 1);
  }
  return result;
}

bool Exists(const std::wstring& id) {
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, (kEnum + id).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    return false;
  RegCloseKey(key);
  return true;
}

bool InList(const wchar_t* variable, const wchar_t* id) {
  for (const std::wstring& listed : Listed(variable))
    if (CompareStringOrdinal(listed.c_str(), -1, id, -1, TRUE) == CSTR_EQUAL)
      return true;
  return false;
}

void PrintDevice(std::wstring id, const wchar_t* description, const wchar_t* status) {
  for (wchar_t& c : id)
    c = towupper(c);
  wprintf(L"Instance ID:                %ls\r\nDevice Description:         %ls\r\nStatus:                     %ls\r\n\r\n",
          id.c_str(), description, status);
}

int Pnputil(int argc, wchar_t** argv) {
  const std::wstring command = argc > 1 ? argv[1] : L"";
  const std::wstring which = argc > 2 ? argv[2] : L"";
  if (command == L"/enum-devices" && argc == 3 && (which == L"/connected" || which == L"/disconnected")) {
    const bool connected = which == L"/connected";
    wprintf(L"Microsoft PnP Utility\r\n\r\n");
    PrintDevice(connected ? L"ACPI\\PNP0303\\4&1d401fb5&0" : L"USB\\VID_046D&PID_C52B&MI_00\\7&2b8e1a0&0&0000",
                L"Standard PS/2 Keyboard", connected ? L"Started" : L"Disconnected");
    for (const std::wstring& id : Listed(connected ? L"QUORVANE_TEST_CONNECTED" : L"QUORVANE_TEST_DISCONNECTED"))
      if (Exists(id))
        PrintDevice(id, L"HID-compliant touch screen", connected ? L"Started" : L"Disconnected");
    return 0;
  }
  if (command == L"/remove-device" && argc == 3) {
    if (!Exists(argv[2]))
      return ERROR_NOT_FOUND;
    return RegDeleteTreeW(HKEY_LOCAL_MACHINE, (kEnum + std::wstring(argv[2])).c_str()) == ERROR_SUCCESS ? 0 : 1;
  }
  if (command == L"/restart-device" && argc == 3) {
    if (!InList(L"QUORVANE_TEST_CONNECTED", argv[2]))
      return ERROR_NOT_FOUND;
    const wchar_t* status = _wgetenv(L"QUORVANE_TEST_RESTART");
    return status ? _wtoi(status) : 0;
  }
  fwprintf(stderr, L"pnputil stand-in: unexpected command line\n");
  return ERROR_INVALID_PARAMETER;
}

// The test compares the recorded arguments whole, so this checks none of them.
int Eventcreate(int argc, wchar_t** argv) {
  const wchar_t* path = _wgetenv(L"QUORVANE_TEST_EVENTS");
  FILE* file = path ? _wfopen(path, L"ab") : nullptr;
  if (!file)
    return 1;
  for (int i = 1; i < argc; ++i)
    fprintf(file, "%s%ls", i > 1 ? "|" : "", argv[i]);
  fputs("\n", file);
  fclose(file);
  return 0;
}

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

bool NamedAs(const wchar_t* name) {
  wchar_t path[MAX_PATH];
  if (!GetModuleFileNameW(nullptr, path, MAX_PATH))
    return false;
  return CompareStringOrdinal(wcsrchr(path, L'\\') + 1, -1, name, -1, TRUE) == CSTR_EQUAL;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (NamedAs(L"pnputil.exe"))
    return Pnputil(argc, argv);
  if (NamedAs(L"eventcreate.exe"))
    return Eventcreate(argc, argv);
  if (argc == 3 && std::wstring(argv[1]) == L"hold-guard")
    return HoldGuard(argv[2]);
  fwprintf(stderr, L"stand-in: unexpected name or command line\n");
  return ERROR_INVALID_PARAMETER;
}
