// Stands in for Windows' pnputil.exe, which Wine lacks, so that the kit's own
// logic around it can run: the device instances that count as connected or
// disconnected, and the status /restart-device ends with, come from the
// environment. Installed as %SystemRoot%\System32\pnputil.exe in the tests'
// prefix only.
//   QUORVANE_TEST_CONNECTED     instance IDs, separated by ";"
//   QUORVANE_TEST_DISCONNECTED  instance IDs, separated by ";"
//   QUORVANE_TEST_RESTART       status of /restart-device on a connected instance
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

bool Listed(const wchar_t* variable, const std::wstring& id) {
  const wchar_t* list = _wgetenv(variable);
  std::wstring ids = list ? list : L"";
  for (size_t start = 0; start <= ids.size();) {
    size_t end = ids.find(L';', start);
    if (end == std::wstring::npos)
      end = ids.size();
    if (CompareStringOrdinal(ids.c_str() + start, static_cast<int>(end - start), id.c_str(),
                             static_cast<int>(id.size()), TRUE) == CSTR_EQUAL)
      return true;
    start = end + 1;
  }
  return false;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring command = argc > 1 ? argv[1] : L"";
  if (command == L"/enum-devices" && argc == 5 && std::wstring(argv[3]) == L"/instanceid") {
    const bool connected = std::wstring(argv[2]) == L"/connected";
    wprintf(L"Microsoft PnP Utility\r\n\r\n");
    if (Listed(connected ? L"QUORVANE_TEST_CONNECTED" : L"QUORVANE_TEST_DISCONNECTED", argv[4]))
      wprintf(L"Instance ID:                %ls\r\nStatus:                     %ls\r\n", argv[4],
              connected ? L"Started" : L"Disconnected");
    else
      wprintf(L"No devices were found on the system.\r\n");
    return 0;
  }
  if (command == L"/restart-device" && argc == 3) {
    if (!Listed(L"QUORVANE_TEST_CONNECTED", argv[2]))
      return ERROR_NOT_FOUND;
    const wchar_t* status = _wgetenv(L"QUORVANE_TEST_RESTART");
    return status ? _wtoi(status) : 0;
  }
  fwprintf(stderr, L"pnputil stand-in: unexpected command line\n");
  return ERROR_INVALID_PARAMETER;
}
