#include "selective_suspend.h"

namespace {

constexpr wchar_t kParametersSuffix[] = L"\\Device Parameters";
constexpr wchar_t kValueName[] = L"SelectiveSuspendOn";
constexpr REGSAM kEnumerateAccess = KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS;

int OpensForReading(const wchar_t* path) {
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
    return 0;
  RegCloseKey(key);
  return 1;
}

// Appends text at *length, keeping the result terminated. Refuses, leaving an
// empty string, rather than truncate: a shortened path could name another key.
int Append(wchar_t* path, DWORD* length, const wchar_t* text) {
  DWORD at = *length;
  for (; *text; ++text) {
    if (at + 1 >= kPathCapacity) {
      path[0] = L'\0';
      return 0;
    }
    path[at++] = *text;
  }
  path[at] = L'\0';
  *length = at;
  return 1;
}

int ComposeParametersPath(wchar_t* path, const wchar_t* deviceKey, const wchar_t* instance) {
  DWORD length = 0;
  return Append(path, &length, deviceKey) && Append(path, &length, L"\\") &&
         Append(path, &length, instance) && Append(path, &length, kParametersSuffix);
}

}  // namespace

const wchar_t* ChooseDeviceKey() {
  // Kept a loop over the table: the table's addresses give the image the
  // relocations its randomised base needs.
#pragma GCC unroll 1
  for (const wchar_t* path : kDeviceKeys) {
    if (OpensForReading(path))
      return path;
  }
  return nullptr;
}

int FindDeviceParametersPath(wchar_t* DeviceParametersPath) {
  const wchar_t* deviceKey = ChooseDeviceKey();
  if (!deviceKey)
    return 0;

  HKEY instances;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, deviceKey, 0, kEnumerateAccess, &instances) != ERROR_SUCCESS)
    return 0;

  int found = 0;
  wchar_t name[kPathCapacity];
  for (DWORD index = 0; !found; ++index) {
    for (wchar_t& c : name)
      c = L'\0';
    DWORD length = kPathCapacity;
    if (RegEnumKeyExW(instances, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    // An instance whose path does not fit is skipped: a later one may still qualify.
    found = ComposeParametersPath(DeviceParametersPath, deviceKey, name) &&
            OpensForReading(DeviceParametersPath);
  }
  RegCloseKey(instances);
  return found;
}

int WriteSelectiveSuspend(DWORD value) {
  wchar_t DeviceParametersPath[kPathCapacity];
  for (wchar_t& c : DeviceParametersPath)
    c = L'\0';
  if (!FindDeviceParametersPath(DeviceParametersPath))
    return 0;

  // Open-or-create: the key may have vanished since the search saw it.
  HKEY parameters = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, DeviceParametersPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_ALL_ACCESS, nullptr, &parameters, nullptr) != ERROR_SUCCESS)
    return 0;
  const int written = RegSetKeyValueW(parameters, nullptr, kValueName, REG_DWORD, &value,
                                      sizeof value) == ERROR_SUCCESS;
  RegCloseKey(parameters);
  return written;
}
