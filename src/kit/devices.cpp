#include "devices.h"

namespace {

// How long a restarted device has to start, and how often it is asked.
constexpr DWORD kStartWait = 10 * 1000;
constexpr DWORD kStartPoll = 250;

HMODULE LoadFromSystem32(const wchar_t* name, int restricted, DWORD* error) {
  HMODULE module = nullptr;
  if (restricted) {
    module = LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  } else {
    // The full path, and its dependencies searched from System32 first.
    Text path;
    Clear(&path);
    wchar_t system[MAX_PATH];
    const UINT length = GetSystemDirectoryW(system, MAX_PATH);
    if (length && length < MAX_PATH) {
      Append(&path, system);
      Append(&path, L"\\");
      Append(&path, name);
      module = LoadLibraryExW(path.data, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    }
  }
  *error = module ? ERROR_SUCCESS : GetLastError();
  return module;
}

template <typename Function>
int Find(HMODULE module, const char* name, Function* function) {
  *function = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  return *function != nullptr;
}

void Unavailable(const wchar_t* library, DWORD error, Text* why) {
  Append(why, library);
  Append(why, L" could not be loaded from System32");
  AppendErrorNote(why, error);
}

void Failed(const wchar_t* function, DWORD error, Text* why) {
  Append(why, function);
  Append(why, L" failed");
  AppendErrorNote(why, error);
}

// Keeps a module only if it gives every function asked of it.
void KeepIf(int found, HMODULE* module, DWORD* error) {
  if (!*module || found)
    return;
  FreeLibrary(*module);
  *module = nullptr;
  *error = ERROR_PROC_NOT_FOUND;
}

// Opens the instance in a list of its own: the list, or INVALID_HANDLE_VALUE
// having said why.
HDEVINFO OpenDevice(const Devices& devices, const wchar_t* id, SP_DEVINFO_DATA* device, Text* why) {
  HDEVINFO list = devices.createList(nullptr, nullptr);
  if (list == INVALID_HANDLE_VALUE) {
    Failed(L"SetupDiCreateDeviceInfoList", GetLastError(), why);
    return list;
  }
  *device = {};
  device->cbSize = sizeof *device;
  if (devices.open(list, id, nullptr, 0, device))
    return list;
  Failed(L"SetupDiOpenDeviceInfoW", GetLastError(), why);
  devices.destroyList(list);
  return INVALID_HANDLE_VALUE;
}

// What Windows says of a devnode. CM_Get_DevNode_Status succeeds only while
// the device is in the tree, as CM_Uninstall_DevNode's documentation has it.
DeviceState StateOfNode(const Devices& devices, DEVINST node, Text* why) {
  ULONG status = 0;
  ULONG problem = 0;
  const CONFIGRET result = devices.status(&status, &problem, node, 0);
  if (result == CR_NO_SUCH_DEVINST)
    return {State::kDisconnected, 0};
  if (result != CR_SUCCESS) {
    Append(why, L"CM_Get_DevNode_Status answered CR ");
    AppendHex(why, result);
    return {State::kUnknown, 0};
  }
  // A devnode that reports "not connected" is not in use, whatever answered.
  if ((status & DN_HAS_PROBLEM) && problem == CM_PROB_PHANTOM)
    return {State::kDisconnected, 0};
  if (status & DN_HAS_PROBLEM)
    return {State::kProblem, problem};
  if (status & DN_STARTED)
    return {State::kWorking, 0};
  Append(why, L"in the device tree, but neither started nor with a problem (status ");
  AppendHex(why, status);
  Append(why, L")");
  return {State::kUnknown, 0};
}

// The call returns before the device has necessarily started again: waits,
// a bounded time, until it works or shows a problem.
void WaitForStart(const Devices& devices, const wchar_t* id) {
  for (DWORD waited = 0; waited < kStartWait; waited += kStartPoll) {
    Text why;
    Clear(&why);
    const DeviceState state = StateOfDevice(devices, id, &why);
    if (state.state == State::kWorking || state.state == State::kProblem)
      return;
    Sleep(kStartPoll);
  }
}

}  // namespace

int RestrictLibrarySearch() {
  // Windows 8 and later, and 7 with KB2533623. Looked up, not imported, so
  // that the program still starts on an unpatched 7. kernel32 is a known DLL,
  // always System32's own.
  using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
  const auto restrict = reinterpret_cast<SetDefaultDllDirectoriesFunction>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
  return restrict && restrict(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

void LoadDevices(Devices* devices, int restricted) {
  *devices = {};
  devices->cfgmgr32 = LoadFromSystem32(L"cfgmgr32.dll", restricted, &devices->cfgmgr32Error);
  KeepIf(devices->cfgmgr32 && Find(devices->cfgmgr32, "CM_Locate_DevNodeW", &devices->locate) &&
             Find(devices->cfgmgr32, "CM_Get_DevNode_Status", &devices->status),
         &devices->cfgmgr32, &devices->cfgmgr32Error);
  devices->setupapi = LoadFromSystem32(L"setupapi.dll", restricted, &devices->setupapiError);
  KeepIf(devices->setupapi && Find(devices->setupapi, "SetupDiCreateDeviceInfoList", &devices->createList) &&
             Find(devices->setupapi, "SetupDiOpenDeviceInfoW", &devices->open) &&
             Find(devices->setupapi, "SetupDiSetClassInstallParamsW", &devices->setParams) &&
             Find(devices->setupapi, "SetupDiCallClassInstaller", &devices->call) &&
             Find(devices->setupapi, "SetupDiGetDeviceInstallParamsW", &devices->getParams) &&
             Find(devices->setupapi, "SetupDiDestroyDeviceInfoList", &devices->destroyList),
         &devices->setupapi, &devices->setupapiError);
  // Windows 7 and later.
  devices->newdev = LoadFromSystem32(L"newdev.dll", restricted, &devices->newdevError);
  KeepIf(devices->newdev && Find(devices->newdev, "DiUninstallDevice", &devices->uninstall), &devices->newdev,
         &devices->newdevError);
}

void FreeDevices(Devices* devices) {
  if (devices->cfgmgr32)
    FreeLibrary(devices->cfgmgr32);
  if (devices->setupapi)
    FreeLibrary(devices->setupapi);
  if (devices->newdev)
    FreeLibrary(devices->newdev);
  *devices = {};
}

DeviceState StateOfDevice(const Devices& devices, const wchar_t* id, Text* why) {
  if (!devices.cfgmgr32) {
    Unavailable(L"cfgmgr32.dll", devices.cfgmgr32Error, why);
    return {State::kUnknown, 0};
  }
  DEVINST node;
  const CONFIGRET normal = devices.locate(&node, const_cast<wchar_t*>(id), CM_LOCATE_DEVNODE_NORMAL);
  if (normal == CR_SUCCESS)
    return StateOfNode(devices, node, why);
  // Only "not in the tree" and "known to Windows" together make an instance
  // disconnected: anything else may be a passing fault, and a connected panel
  // must never be taken for a stale one.
  const CONFIGRET phantom = devices.locate(&node, const_cast<wchar_t*>(id), CM_LOCATE_DEVNODE_PHANTOM);
  if (normal == CR_NO_SUCH_DEVNODE && phantom == CR_SUCCESS)
    return StateOfNode(devices, node, why);
  Append(why, L"CM_Locate_DevNodeW answered CR ");
  AppendHex(why, normal);
  Append(why, L" for connected devices and CR ");
  AppendHex(why, phantom);
  Append(why, L" for all");
  return {State::kUnknown, 0};
}

Change RemoveDevice(const Devices& devices, const wchar_t* id, Text* why) {
  const struct {
    HMODULE module;
    const wchar_t* name;
    DWORD error;
  } needed[] = {{devices.cfgmgr32, L"cfgmgr32.dll", devices.cfgmgr32Error},
                {devices.setupapi, L"setupapi.dll", devices.setupapiError},
                {devices.newdev, L"newdev.dll", devices.newdevError}};
  for (const auto& library : needed) {
    if (!library.module) {
      Unavailable(library.name, library.error, why);
      return Change::kFailed;
    }
  }
  SP_DEVINFO_DATA device;
  HDEVINFO list = OpenDevice(devices, id, &device, why);
  if (list == INVALID_HANDLE_VALUE)
    return Change::kFailed;
  // Checked again with the device in hand: since it was counted stale, it
  // may have been plugged in, or another program may be restarting it. The
  // same answer as the state's: present is in the tree.
  Change change = Change::kFailed;
  const DeviceState state = StateOfNode(devices, device.DevInst, why);
  if (InTree(state)) {
    change = Change::kPresent;
  } else if (state.state == State::kDisconnected) {
    // Given no place to say a reboot is needed, Windows would ask whoever is
    // at the screen to restart.
    BOOL reboot = FALSE;
    if (devices.uninstall(nullptr, list, &device, 0, &reboot))
      change = reboot ? Change::kDoneRebootNeeded : Change::kDone;
    else
      Failed(L"DiUninstallDevice", GetLastError(), why);
  }
  devices.destroyList(list);
  return change;
}

Change RestartDevice(const Devices& devices, const wchar_t* id, Text* why) {
  if (!devices.setupapi) {
    Unavailable(L"setupapi.dll", devices.setupapiError, why);
    return Change::kFailed;
  }
  SP_DEVINFO_DATA device;
  HDEVINFO list = OpenDevice(devices, id, &device, why);
  if (list == INVALID_HANDLE_VALUE)
    return Change::kFailed;
  SP_PROPCHANGE_PARAMS parameters = {};
  parameters.ClassInstallHeader.cbSize = sizeof parameters.ClassInstallHeader;
  parameters.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
  parameters.StateChange = DICS_PROPCHANGE;
  parameters.Scope = DICS_FLAG_GLOBAL;
  Change change = Change::kFailed;
  if (!devices.setParams(list, &device, &parameters.ClassInstallHeader, sizeof parameters)) {
    Failed(L"SetupDiSetClassInstallParamsW", GetLastError(), why);
  } else if (!devices.call(DIF_PROPERTYCHANGE, list, &device)) {
    Failed(L"SetupDiCallClassInstaller", GetLastError(), why);
  } else {
    SP_DEVINSTALL_PARAMS_W install = {};
    install.cbSize = sizeof install;
    // Without the flags a restart that Windows put off would pass for done.
    if (!devices.getParams(list, &device, &install))
      Failed(L"SetupDiGetDeviceInstallParamsW", GetLastError(), why);
    else
      change = install.Flags & (DI_NEEDREBOOT | DI_NEEDRESTART) ? Change::kDoneRebootNeeded : Change::kDone;
  }
  devices.destroyList(list);
  if (change == Change::kDone)
    WaitForStart(devices, id);
  return change;
}
