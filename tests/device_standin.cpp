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

// Only enumerator\device\instance names an instance: a shorter key is an enumerator's or a device's.
bool Exists(const wchar_t* id) {
  const std::wstring text = id ? id : L"";
  HKEY key;
  if (std::count(text.begin(), text.end(), L'\\') != 2 || text.front() == L'\\' || text.back() == L'\\' ||
      text.find(L"\\\\") != std::wstring::npos ||
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
  if (!devInst)
    return CR_INVALID_POINTER;
  *devInst = 0;
  // Windows answers a missing or empty ID with the root of the device tree.
  const bool root = !id || !*id;
  if (!root && !((flags & CM_LOCATE_DEVNODE_PHANTOM) ? Exists(id) : Connected(id)))
    return CR_NO_SUCH_DEVNODE;
  *devInst = root ? 1 : 2;
  return CR_SUCCESS;
}
#endif
#ifdef QUORVANE_STANDIN_SETUPAPI
namespace {

// One device per list: the companion opens one instance in each.
struct List {
  std::wstring id;   // empty until an instance is opened
  union { SP_REMOVEDEVICE_PARAMS remove; SP_PROPCHANGE_PARAMS change; } params;
  DWORD paramsSize;
  DWORD flags;
};

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// The list, unless it or the SP_DEVINFO_DATA, which Windows ties to its list
// through Reserved, is not one the caller had from here: then null, with the last error set.
List* Checked(HDEVINFO set, const SP_DEVINFO_DATA* data) {
  List* list = static_cast<List*>(set);
  SetLastError(!set || set == INVALID_HANDLE_VALUE                          ? ERROR_INVALID_HANDLE
               : data && data->cbSize != sizeof *data                        ? ERROR_INVALID_USER_BUFFER
               : data && data->Reserved != reinterpret_cast<ULONG_PTR>(list) ? ERROR_INVALID_PARAMETER
                                                                             : ERROR_SUCCESS);
  return GetLastError() ? nullptr : list;
}

bool Number(const std::wstring& text, DWORD* number) {
  if (text.empty() || text.size() > 10 || text.find_first_not_of(L"0123456789") != std::wstring::npos)
    return false;
  *number = wcstoul(text.c_str(), nullptr, 10);
  return true;
}

}  // namespace

EXPORT HDEVINFO WINAPI SetupDiCreateDeviceInfoList(const GUID*, HWND) {
  return new List();
}

EXPORT BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO set) {
  List* list = Checked(set, nullptr);
  delete list;
  return list != nullptr;
}

EXPORT BOOL WINAPI SetupDiOpenDeviceInfoW(HDEVINFO set, PCWSTR id, HWND, DWORD, PSP_DEVINFO_DATA data) {
  List* list = Checked(set, nullptr);
  if (!list)
    return FALSE;
  if (data && data->cbSize != sizeof *data)
    return Fail(ERROR_INVALID_USER_BUFFER);
  if (!Exists(id))
    return Fail(ERROR_NO_SUCH_DEVINST);
  list->id = id;
  list->paramsSize = list->flags = 0;
  if (data) {
    data->ClassGuid = GUID();
    data->DevInst = 2;
    data->Reserved = reinterpret_cast<ULONG_PTR>(list);
  }
  return TRUE;
}

EXPORT BOOL WINAPI SetupDiSetClassInstallParamsW(HDEVINFO set, PSP_DEVINFO_DATA data, PSP_CLASSINSTALL_HEADER params,
                                                  DWORD size) {
  List* list = Checked(set, data);
  if (!list)
    return FALSE;
  if (!params || params->cbSize != sizeof *params)
    return Fail(ERROR_INVALID_USER_BUFFER);
  if (size < sizeof *params || size > sizeof list->params)
    return Fail(ERROR_INVALID_PARAMETER);
  memcpy(&list->params, params, size);
  list->paramsSize = size;
  list->flags |= DI_CLASSINSTALLPARAMS;  // as Windows marks it, for callers that look
  return TRUE;
}

EXPORT BOOL WINAPI SetupDiCallClassInstaller(DI_FUNCTION function, HDEVINFO set, PSP_DEVINFO_DATA data) {
  List* list = Checked(set, data);
  if (!list)
    return FALSE;
  DWORD error = 0;
  if (function == DIF_REMOVE) {
    const SP_REMOVEDEVICE_PARAMS& remove = list->params.remove;
    if (list->paramsSize != sizeof remove || remove.ClassInstallHeader.InstallFunction != DIF_REMOVE ||
        remove.Scope != DI_REMOVEDEVICE_GLOBAL)
      return Fail(ERROR_INVALID_PARAMETER);
    if (Number(Variable(L"QUORVANE_TEST_REMOVE_ERROR"), &error))
      return Fail(error);
    // Never the whole Enum key, for a list with no instance opened.
    if (!Exists(list->id.c_str()) || RegDeleteTreeW(HKEY_LOCAL_MACHINE, (kEnum + list->id).c_str()) != ERROR_SUCCESS)
      return Fail(ERROR_NO_SUCH_DEVINST);
    return TRUE;
  }
  if (function != DIF_PROPERTYCHANGE)
    return Fail(ERROR_CALL_NOT_IMPLEMENTED);  // the companion asks for nothing else
  // Windows ignores the scope of a property change, but only once it is a valid one.
  const SP_PROPCHANGE_PARAMS& change = list->params.change;
  if (list->paramsSize != sizeof change || change.ClassInstallHeader.InstallFunction != DIF_PROPERTYCHANGE ||
      change.StateChange != DICS_PROPCHANGE || (change.Scope != DICS_FLAG_GLOBAL && change.Scope != DICS_FLAG_CONFIGSPECIFIC))
    return Fail(ERROR_INVALID_PARAMETER);
  if (!Connected(list->id.c_str()))
    return Fail(ERROR_NO_SUCH_DEVINST);
  const std::wstring outcome = Variable(L"QUORVANE_TEST_RESTART");
  if (outcome == L"reboot")
    list->flags |= DI_NEEDREBOOT;
  else if (!outcome.empty() && !Number(outcome, &error))
    return Fail(ERROR_INVALID_DATA);  // a mistyped test setting must not pass as success
  return error ? Fail(error) : TRUE;
}

EXPORT BOOL WINAPI SetupDiGetDeviceInstallParamsW(HDEVINFO set, PSP_DEVINFO_DATA data, PSP_DEVINSTALL_PARAMS_W params) {
  List* list = Checked(set, data);
  if (!list)
    return FALSE;
  if (!params || params->cbSize != sizeof(SP_DEVINSTALL_PARAMS_W))
    return Fail(ERROR_INVALID_USER_BUFFER);
  *params = SP_DEVINSTALL_PARAMS_W();
  params->cbSize = sizeof *params;
  params->Flags = list->flags;
  return TRUE;
}
#endif
