// Stands in, in the kit's test prefix only, for what Wine lacks of cfgmgr32.dll
// (built with QUORVANE_STANDIN_CFGMGR32) or setupapi.dll (QUORVANE_STANDIN_SETUPAPI),
// answering as Windows does for instances that exist only as Enum keys the test
// creates, as the loading process's environment says:
//   QUORVANE_TEST_CONNECTED     ";"-separated IDs of connected instances
//   QUORVANE_TEST_REMOVE_ERROR  a number: DIF_REMOVE fails with it, removing nothing
//   QUORVANE_TEST_RESTART       DIF_PROPERTYCHANGE: unset or "0" succeeds, "reboot"
//                               also sets DI_NEEDREBOOT, a number fails with it
// The headers would declare these functions imported, and setupapi.h cannot
// declare them exported: the definitions add the export, which clang would warn of.
#define _CFGMGR32_
#define _SETUPAPI_
#ifdef __clang__
#pragma clang diagnostic ignored "-Wdll-attribute-on-redeclaration"
#endif
#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <string>

#define EXPORT extern "C" __declspec(dllexport)

namespace {

const std::wstring kEnum = L"SYSTEM\\CurrentControlSet\\Enum\\";

std::wstring Variable(const wchar_t* name) {
  std::wstring value(GetEnvironmentVariableW(name, nullptr, 0), L'\0');
  if (!value.empty())
    value.resize(GetEnvironmentVariableW(name, &value[0], static_cast<DWORD>(value.size())));
  return value;
}

// Only enumerator\device\instance names an instance: removing a shorter key
// would remove a whole device or enumerator.
bool Exists(const wchar_t* id) {
  const std::wstring text = id ? id : L"";
  HKEY key;
  if (std::count(text.begin(), text.end(), L'\\') != 2 ||
      RegOpenKeyExW(HKEY_LOCAL_MACHINE, (kEnum + text).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    return false;
  RegCloseKey(key);
  return true;
}

bool Connected(const wchar_t* id) {
  const std::wstring list = Variable(L"QUORVANE_TEST_CONNECTED") + L';';
  for (size_t start = 0, end; (end = list.find(L';', start)) != std::wstring::npos; start = end + 1)
    if (end > start && CompareStringOrdinal(&list[start], static_cast<int>(end - start), id, -1, TRUE) == CSTR_EQUAL)
      return Exists(id);
  return false;
}

}  // namespace

#ifdef QUORVANE_STANDIN_CFGMGR32
EXPORT CONFIGRET WINAPI CM_Locate_DevNodeW(PDEVINST devInst, DEVINSTID_W id, ULONG flags) {
  if (!devInst || !id)
    return CR_INVALID_POINTER;
  if (!((flags & CM_LOCATE_DEVNODE_PHANTOM) ? Exists(id) : Connected(id)))
    return CR_NO_SUCH_DEVNODE;
  *devInst = 2;
  return CR_SUCCESS;
}
#endif
#ifdef QUORVANE_STANDIN_SETUPAPI
namespace {

// One device per list: the companion opens one instance in each.
struct List {
  std::wstring id;
  union { SP_REMOVEDEVICE_PARAMS remove; SP_PROPCHANGE_PARAMS change; } params;
  DWORD paramsSize;
  DWORD flags;
};

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// A number the test gave, or false for none; anything else fails the call,
// so that a mistyped setting cannot pass as success.
bool Number(const std::wstring& text, DWORD* number) {
  *number = ERROR_INVALID_DATA;
  if (text.empty() || text.find_first_not_of(L"0123456789") != std::wstring::npos)
    return !text.empty();
  *number = wcstoul(text.c_str(), nullptr, 10);
  return true;
}

}  // namespace

EXPORT HDEVINFO WINAPI SetupDiCreateDeviceInfoList(const GUID*, HWND) {
  return new List();
}

EXPORT BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO set) {
  delete static_cast<List*>(set);
  return TRUE;
}

EXPORT BOOL WINAPI SetupDiOpenDeviceInfoW(HDEVINFO set, PCWSTR id, HWND, DWORD, PSP_DEVINFO_DATA data) {
  if (!data || data->cbSize != sizeof *data)
    return Fail(ERROR_INVALID_USER_BUFFER);
  if (!Exists(id))
    return Fail(ERROR_NO_SUCH_DEVINST);
  static_cast<List*>(set)->id = id;
  data->DevInst = 2;
  return TRUE;
}

EXPORT BOOL WINAPI SetupDiSetClassInstallParamsW(HDEVINFO set, PSP_DEVINFO_DATA, PSP_CLASSINSTALL_HEADER params,
                                                  DWORD size) {
  List* list = static_cast<List*>(set);
  if (!params || params->cbSize != sizeof *params)
    return Fail(ERROR_INVALID_USER_BUFFER);
  if (size < sizeof *params || size > sizeof list->params)
    return Fail(ERROR_INVALID_PARAMETER);
  memcpy(&list->params, params, size);
  list->paramsSize = size;
  return TRUE;
}

EXPORT BOOL WINAPI SetupDiCallClassInstaller(DI_FUNCTION function, HDEVINFO set, PSP_DEVINFO_DATA) {
  List* list = static_cast<List*>(set);
  DWORD error = 0;
  if (function == DIF_REMOVE) {
    const SP_REMOVEDEVICE_PARAMS& remove = list->params.remove;
    if (list->paramsSize != sizeof remove || remove.ClassInstallHeader.InstallFunction != DIF_REMOVE ||
        remove.Scope != DI_REMOVEDEVICE_GLOBAL)
      return Fail(ERROR_INVALID_PARAMETER);
    if (Number(Variable(L"QUORVANE_TEST_REMOVE_ERROR"), &error))
      return Fail(error);
    if (!Exists(list->id.c_str()) || RegDeleteTreeW(HKEY_LOCAL_MACHINE, (kEnum + list->id).c_str()) != ERROR_SUCCESS)
      return Fail(ERROR_NO_SUCH_DEVINST);
    return TRUE;
  }
  const SP_PROPCHANGE_PARAMS& change = list->params.change;
  if (function != DIF_PROPERTYCHANGE || list->paramsSize != sizeof change ||
      change.ClassInstallHeader.InstallFunction != DIF_PROPERTYCHANGE || change.StateChange != DICS_PROPCHANGE ||
      change.Scope != DICS_FLAG_GLOBAL)
    return Fail(ERROR_INVALID_PARAMETER);
  if (!Connected(list->id.c_str()))
    return Fail(ERROR_NO_SUCH_DEVINST);
  const std::wstring outcome = Variable(L"QUORVANE_TEST_RESTART");
  if (outcome == L"reboot")
    list->flags |= DI_NEEDREBOOT;
  else if (Number(outcome, &error) && error)
    return Fail(error);
  return TRUE;
}

EXPORT BOOL WINAPI SetupDiGetDeviceInstallParamsW(HDEVINFO set, PSP_DEVINFO_DATA, PSP_DEVINSTALL_PARAMS_W params) {
  if (!params || params->cbSize != sizeof *params)
    return Fail(ERROR_INVALID_USER_BUFFER);
  params->Flags = static_cast<List*>(set)->flags;
  return TRUE;
}
#endif
