#include "kit_devices.h"

namespace {

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

// Opens the instance in a list of its own, gives the class installer its
// parameters and calls it, as Microsoft documents for desktop applications.
Change CallInstaller(const Devices& devices, const wchar_t* id, DI_FUNCTION function,
                     SP_CLASSINSTALL_HEADER* parameters, DWORD size, Text* why) {
  if (!devices.setupapi) {
    Unavailable(L"setupapi.dll", devices.setupapiError, why);
    return Change::kFailed;
  }
  HDEVINFO list = devices.createList(nullptr, nullptr);
  if (list == INVALID_HANDLE_VALUE) {
    Failed(L"SetupDiCreateDeviceInfoList", GetLastError(), why);
    return Change::kFailed;
  }
  SP_DEVINFO_DATA device = {};
  device.cbSize = sizeof device;
  Change change = Change::kFailed;
  const wchar_t* step = L"SetupDiOpenDeviceInfoW";
  if (devices.open(list, id, nullptr, 0, &device)) {
    step = L"SetupDiSetClassInstallParamsW";
    if (devices.setParams(list, &device, parameters, size)) {
      step = L"SetupDiCallClassInstaller";
      if (devices.call(function, list, &device)) {
        SP_DEVINSTALL_PARAMS_W install = {};
        install.cbSize = sizeof install;
        change = Change::kDone;
        if (devices.getParams(list, &device, &install) && (install.Flags & (DI_NEEDREBOOT | DI_NEEDRESTART)))
          change = Change::kDoneRebootNeeded;
      }
    }
  }
  if (change == Change::kFailed)
    Failed(step, GetLastError(), why);
  devices.destroyList(list);
  return change;
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
  if (devices->cfgmgr32 && !Find(devices->cfgmgr32, "CM_Locate_DevNodeW", &devices->locate)) {
    devices->cfgmgr32Error = ERROR_PROC_NOT_FOUND;
    FreeLibrary(devices->cfgmgr32);
    devices->cfgmgr32 = nullptr;
  }
  devices->setupapi = LoadFromSystem32(L"setupapi.dll", restricted, &devices->setupapiError);
  if (devices->setupapi &&
      !(Find(devices->setupapi, "SetupDiCreateDeviceInfoList", &devices->createList) &&
        Find(devices->setupapi, "SetupDiOpenDeviceInfoW", &devices->open) &&
        Find(devices->setupapi, "SetupDiSetClassInstallParamsW", &devices->setParams) &&
        Find(devices->setupapi, "SetupDiCallClassInstaller", &devices->call) &&
        Find(devices->setupapi, "SetupDiGetDeviceInstallParamsW", &devices->getParams) &&
        Find(devices->setupapi, "SetupDiDestroyDeviceInfoList", &devices->destroyList))) {
    devices->setupapiError = ERROR_PROC_NOT_FOUND;
    FreeLibrary(devices->setupapi);
    devices->setupapi = nullptr;
  }
}

void FreeDevices(Devices* devices) {
  if (devices->cfgmgr32)
    FreeLibrary(devices->cfgmgr32);
  if (devices->setupapi)
    FreeLibrary(devices->setupapi);
  *devices = {};
}

Presence DevicePresence(const Devices& devices, const wchar_t* id, Text* why) {
  if (!devices.cfgmgr32) {
    Unavailable(L"cfgmgr32.dll", devices.cfgmgr32Error, why);
    return Presence::kUnknown;
  }
  DEVINST node;
  const CONFIGRET normal = devices.locate(&node, const_cast<wchar_t*>(id), CM_LOCATE_DEVNODE_NORMAL);
  if (normal == CR_SUCCESS)
    return Presence::kConnected;
  // Only "not in the tree" and "known to Windows" together make an instance
  // disconnected: anything else may be a passing fault, and a connected panel
  // must never be taken for a stale one.
  const CONFIGRET phantom = devices.locate(&node, const_cast<wchar_t*>(id), CM_LOCATE_DEVNODE_PHANTOM);
  if (normal == CR_NO_SUCH_DEVNODE && phantom == CR_SUCCESS)
    return Presence::kDisconnected;
  Append(why, L"CM_Locate_DevNodeW answered CR ");
  AppendHex(why, normal);
  Append(why, L" for connected devices and CR ");
  AppendHex(why, phantom);
  Append(why, L" for all");
  return Presence::kUnknown;
}

Change RemoveDevice(const Devices& devices, const wchar_t* id, Text* why) {
  SP_REMOVEDEVICE_PARAMS parameters = {};
  parameters.ClassInstallHeader.cbSize = sizeof parameters.ClassInstallHeader;
  parameters.ClassInstallHeader.InstallFunction = DIF_REMOVE;
  parameters.Scope = DI_REMOVEDEVICE_GLOBAL;
  return CallInstaller(devices, id, DIF_REMOVE, &parameters.ClassInstallHeader, sizeof parameters, why);
}

Change RestartDevice(const Devices& devices, const wchar_t* id, Text* why) {
  SP_PROPCHANGE_PARAMS parameters = {};
  parameters.ClassInstallHeader.cbSize = sizeof parameters.ClassInstallHeader;
  parameters.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
  parameters.StateChange = DICS_PROPCHANGE;
  parameters.Scope = DICS_FLAG_GLOBAL;
  return CallInstaller(devices, id, DIF_PROPERTYCHANGE, &parameters.ClassInstallHeader, sizeof parameters, why);
}
