// Stands in, in the kit's test prefix only, for what Wine lacks of
// cfgmgr32.dll (built with QUORVANE_STANDIN_CFGMGR32), setupapi.dll
// (QUORVANE_STANDIN_SETUPAPI) and newdev.dll (QUORVANE_STANDIN_NEWDEV), as
// Microsoft documents them, over a small device tree. Its instances are the
// Enum keys the test creates; the loading process's environment says what
// state each is in:
//   QUORVANE_TEST_DEVICES  ";"-separated ID=STATE or ID=STATE<PARENT (a child
//                          devnode of PARENT). STATE: "started"; a problem
//                          number (in the tree with that problem);
//                          "disconnected" (not present); "removing"
//                          (being removed: in the tree, no longer configured);
//                          "back" (not present until SetupDiOpenDeviceInfoW
//                          opens it: plugged in again as it is turned to). Any
//                          other instance whose key exists is not present.
//   QUORVANE_TEST_REMOVE   DiUninstallDevice: unset succeeds, "reboot" also
//                          needs a reboot, a number fails with it
//   QUORVANE_TEST_RESTART  DIF_PROPERTYCHANGE: unset or "0" succeeds and the
//                          device starts again before the call returns;
//                          "late" returns at once and the device starts three
//                          seconds later (until then in the tree, neither
//                          started nor with a problem); "reboot" and "restart"
//                          put the restart off, setting DI_NEEDREBOOT or
//                          DI_NEEDRESTART and leaving the device as it was;
//                          "slow" takes two seconds; a number fails with it.
// A device's driver, when it starts again, writes a value of its own
// (DriverStarts) into the instance's Device Parameters, as drivers do: the
// key's last-write time then says nothing of SelectiveSuspendOn.
// The tree lives in cfgmgr32.dll, as Windows' configuration manager serves
// setupapi and newdev; they reach it through its exports. What a test must
// see of the calls is appended to C:\quorvane-test\devices.txt.
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
#include <vector>

#define EXPORT extern "C" __declspec(dllexport)

namespace {

std::wstring Variable(const wchar_t* name) {
  std::wstring value(GetEnvironmentVariableW(name, nullptr, 0), L'\0');
  if (!value.empty())
    value.resize(GetEnvironmentVariableW(name, &value[0], static_cast<DWORD>(value.size())));
  return value;
}

// A number the test gave, or false for none; anything else is taken for a
// failure, so that a mistyped setting cannot pass as success.
bool Number(const std::wstring& text, DWORD* number) {
  *number = ERROR_INVALID_DATA;
  if (text.empty() || text.find_first_not_of(L"0123456789") != std::wstring::npos)
    return !text.empty();
  *number = wcstoul(text.c_str(), nullptr, 10);
  return true;
}

}  // namespace

#ifdef QUORVANE_STANDIN_CFGMGR32
namespace {

const std::wstring kEnum = L"SYSTEM\\CurrentControlSet\\Enum\\";

bool Same(const std::wstring& a, const wchar_t* b) {
  return CompareStringOrdinal(a.c_str(), -1, b, -1, TRUE) == CSTR_EQUAL;
}

enum class Node { kAbsent, kStarted, kStarting, kProblem, kRemoving, kBack, kMistyped };

struct Device {
  std::wstring id;
  std::wstring parent;
  Node state;
  DWORD problem;
  ULONGLONG started;  // with kStarting: when it will have started
};

// Only enumerator\device\instance names an instance: removing a shorter key
// would remove a whole device or enumerator.
bool Exists(const std::wstring& id) {
  HKEY key;
  if (std::count(id.begin(), id.end(), L'\\') != 2 ||
      RegOpenKeyExW(HKEY_LOCAL_MACHINE, (kEnum + id).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    return false;
  RegCloseKey(key);
  return true;
}

Device Parse(const std::wstring& entry) {
  const size_t equals = entry.find(L'='), below = entry.find(L'<');
  Device device = {entry.substr(0, equals), below == std::wstring::npos ? L"" : entry.substr(below + 1),
                   Node::kMistyped, 0, 0};
  const std::wstring state = entry.substr(equals + 1, below == std::wstring::npos ? below : below - equals - 1);
  const struct {
    const wchar_t* name;
    Node state;
  } names[] = {{L"started", Node::kStarted},
               {L"disconnected", Node::kAbsent},
               {L"removing", Node::kRemoving},
               {L"back", Node::kBack}};
  for (const auto& name : names)
    if (state == name.name)
      device.state = name.state;
  if (device.state == Node::kMistyped && Number(state, &device.problem) && device.problem)
    device.state = Node::kProblem;
  return device;
}

// The devnodes handed out; a DEVINST is an index into it, plus one.
std::vector<Device>& Tree() {
  static std::vector<Device> tree;
  if (tree.empty()) {
    tree.push_back({L"HTREE\\ROOT\\0", L"", Node::kStarted, 0, 0});
    const std::wstring list = Variable(L"QUORVANE_TEST_DEVICES") + L';';
    for (size_t start = 0, end; (end = list.find(L';', start)) != std::wstring::npos; start = end + 1)
      if (end > start)
        tree.push_back(Parse(list.substr(start, end - start)));
  }
  return tree;
}

Device* Of(DEVINST node) {
  return node && node <= Tree().size() ? &Tree()[node - 1] : nullptr;
}

// In the device tree: what CM_Get_DevNode_Status answers for.
bool InTree(const Device& device) {
  return (device.state == Node::kStarted || device.state == Node::kStarting || device.state == Node::kProblem ||
          device.state == Node::kRemoving) &&
         (device.id == Tree()[0].id || Exists(device.id));
}

// The driver starts: it writes a value of its own into Device Parameters.
void Start(Device* device) {
  device->state = Node::kStarted;
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, (kEnum + device->id + L"\\Device Parameters").c_str(), 0, KEY_SET_VALUE,
                    &key) != ERROR_SUCCESS)
    return;
  const DWORD starts = static_cast<DWORD>(GetTickCount64());
  RegSetValueExW(key, L"DriverStarts", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&starts), sizeof starts);
  RegCloseKey(key);
}

}  // namespace

EXPORT CONFIGRET WINAPI CM_Locate_DevNodeW(PDEVINST devInst, DEVINSTID_W id, ULONG flags) {
  if (!devInst)
    return CR_INVALID_POINTER;
  if (flags & ~CM_LOCATE_DEVNODE_BITS)
    return CR_INVALID_FLAG;
  std::vector<Device>& tree = Tree();
  if (!id || !*id) {
    *devInst = 1;  // the root
    return CR_SUCCESS;
  }
  auto found = std::find_if(tree.begin(), tree.end(), [id](const Device& device) { return Same(device.id, id); });
  if (found == tree.end()) {
    if (!Exists(id))
      return CR_NO_SUCH_DEVNODE;
    found = tree.insert(tree.end(), Device{id, L"", Node::kAbsent, 0, 0});
  }
  Device& device = *found;
  if (!Exists(device.id))
    return CR_NO_SUCH_DEVNODE;
  // A device being removed is found only by a caller that cancels its removal.
  if (device.state == Node::kRemoving && (flags & CM_LOCATE_DEVNODE_CANCELREMOVE))
    device.state = Node::kStarted;
  const bool configured =
      device.state == Node::kStarted || device.state == Node::kStarting || device.state == Node::kProblem;
  if (!configured && !(flags & CM_LOCATE_DEVNODE_PHANTOM))
    return CR_NO_SUCH_DEVNODE;
  *devInst = static_cast<DEVINST>(found - tree.begin() + 1);
  return CR_SUCCESS;
}

EXPORT CONFIGRET WINAPI CM_Get_DevNode_Status(PULONG status, PULONG problem, DEVINST node, ULONG flags) {
  if (!status || !problem)
    return CR_INVALID_POINTER;
  if (flags)
    return CR_INVALID_FLAG;
  Device* device = Of(node);
  if (!device)
    return CR_INVALID_DEVNODE;
  if (device->state == Node::kMistyped)
    return CR_FAILURE;
  if (!InTree(*device))
    return CR_NO_SUCH_DEVINST;
  if (device->state == Node::kStarting && GetTickCount64() >= device->started)
    Start(device);
  *problem = 0;
  *status = DN_DRIVER_LOADED | DN_STARTED;
  if (device->state == Node::kStarting) {
    *status = DN_DRIVER_LOADED;
  } else if (device->state == Node::kProblem) {
    *status = DN_HAS_PROBLEM;
    *problem = device->problem;
  } else if (device->state == Node::kRemoving) {
    *status = DN_HAS_PROBLEM | DN_WILL_BE_REMOVED;
    *problem = CM_PROB_WILL_BE_REMOVED;
  }
  return CR_SUCCESS;
}

// For the stand-ins of setupapi.dll and newdev.dll.
EXPORT const wchar_t* WINAPI QuorvaneStandInId(DEVINST node) {
  return Of(node) ? Of(node)->id.c_str() : L"";
}

// DIF_PROPERTYCHANGE: a started device stops and starts again, after
// delay milliseconds; one with a problem keeps it.
EXPORT void WINAPI QuorvaneStandInRestart(DEVINST node, DWORD delay) {
  Device* device = Of(node);
  if (!device || device->state != Node::kStarted)
    return;
  device->state = Node::kStarting;
  device->started = GetTickCount64() + delay;
  if (!delay)
    Start(device);
}

EXPORT void WINAPI QuorvaneStandInArrive(DEVINST node) {
  if (Of(node) && Of(node)->state == Node::kBack)
    Of(node)->state = Node::kStarted;
}

// Uninstalls a devnode with its children, present or not, as Windows 8 and
// later do: its key goes, and with it every key below.
EXPORT BOOL WINAPI QuorvaneStandInUninstall(DEVINST node) {
  const Device* device = Of(node);
  if (!device || !Exists(device->id))
    return FALSE;
  for (DEVINST child = 1; child <= Tree().size(); ++child)
    if (Same(Tree()[child - 1].parent, device->id.c_str()))
      QuorvaneStandInUninstall(child);
  return RegDeleteTreeW(HKEY_LOCAL_MACHINE, (kEnum + device->id).c_str()) == ERROR_SUCCESS;
}
#endif

#if defined(QUORVANE_STANDIN_SETUPAPI) || defined(QUORVANE_STANDIN_NEWDEV)
namespace {

void Record(const std::wstring& line) {
  const std::wstring text = line + L"\r\n";
  std::string bytes(text.size() * 3, '\0');
  bytes.resize(WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &bytes[0],
                                   static_cast<int>(bytes.size()), nullptr, nullptr));
  HANDLE file = CreateFileW(L"C:\\quorvane-test\\devices.txt", FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return;
  DWORD written;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
}

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// An export of the stand-in cfgmgr32.dll, where the device tree is.
template <typename Function>
Function Tree(const char* name) {
  const HMODULE cfgmgr32 = LoadLibraryExW(L"cfgmgr32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(cfgmgr32, name)));
}

}  // namespace
#endif

#ifdef QUORVANE_STANDIN_SETUPAPI
namespace {

// One device per list: enough for a set that SetupDiOpenDeviceInfoW fills.
struct List {
  DEVINST node;
  union { SP_CLASSINSTALL_HEADER header; SP_PROPCHANGE_PARAMS change; } params;
  DWORD paramsSize;
  DWORD flags;
};

}  // namespace

EXPORT HDEVINFO WINAPI SetupDiCreateDeviceInfoList(const GUID*, HWND) {
  return new List();
}

EXPORT BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO set) {
  if (!set || set == INVALID_HANDLE_VALUE)
    return Fail(ERROR_INVALID_HANDLE);
  delete static_cast<List*>(set);
  return TRUE;
}

EXPORT BOOL WINAPI SetupDiOpenDeviceInfoW(HDEVINFO set, PCWSTR id, HWND, DWORD flags, PSP_DEVINFO_DATA data) {
  if (!set || set == INVALID_HANDLE_VALUE)
    return Fail(ERROR_INVALID_HANDLE);
  if (flags & ~(DIOD_CANCEL_REMOVE | DIOD_INHERIT_CLASSDRVS))
    return Fail(ERROR_INVALID_FLAGS);
  DEVINST node;
  // No ID names the root device, as for CM_Locate_DevNodeW.
  if (Tree<decltype(&CM_Locate_DevNodeW)>("CM_Locate_DevNodeW")(
          &node, const_cast<wchar_t*>(id),
          CM_LOCATE_DEVNODE_PHANTOM | (flags & DIOD_CANCEL_REMOVE ? CM_LOCATE_DEVNODE_CANCELREMOVE : 0)) != CR_SUCCESS)
    return Fail(ERROR_NO_SUCH_DEVINST);
  Tree<void(WINAPI*)(DEVINST)>("QuorvaneStandInArrive")(node);
  static_cast<List*>(set)->node = node;
  if (!data)
    return TRUE;
  if (data->cbSize != sizeof *data)
    return Fail(ERROR_INVALID_USER_BUFFER);
  data->DevInst = node;
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

// DIF_PROPERTYCHANGE with DICS_PROPCHANGE stops and restarts the device;
// Windows ignores Scope then, as long as it is a valid value. Nothing else
// is modelled.
EXPORT BOOL WINAPI SetupDiCallClassInstaller(DI_FUNCTION function, HDEVINFO set, PSP_DEVINFO_DATA) {
  List* list = static_cast<List*>(set);
  const SP_PROPCHANGE_PARAMS& change = list->params.change;
  if (function != DIF_PROPERTYCHANGE || list->paramsSize != sizeof change ||
      change.ClassInstallHeader.InstallFunction != DIF_PROPERTYCHANGE || change.StateChange != DICS_PROPCHANGE ||
      (change.Scope != DICS_FLAG_GLOBAL && change.Scope != DICS_FLAG_CONFIGSPECIFIC &&
       change.Scope != DICS_FLAG_CONFIGGENERAL))
    return Fail(ERROR_INVALID_PARAMETER);
  Record(std::wstring(L"DIF_PROPERTYCHANGE ") +
         Tree<const wchar_t*(WINAPI*)(DEVINST)>("QuorvaneStandInId")(list->node));
  ULONG status;
  ULONG problem;
  if (Tree<decltype(&CM_Get_DevNode_Status)>("CM_Get_DevNode_Status")(&status, &problem, list->node, 0) !=
      CR_SUCCESS)
    return Fail(ERROR_NO_SUCH_DEVINST);
  const std::wstring outcome = Variable(L"QUORVANE_TEST_RESTART");
  DWORD error = 0;
  if (outcome == L"reboot" || outcome == L"restart") {
    list->flags |= outcome == L"reboot" ? DI_NEEDREBOOT : DI_NEEDRESTART;
    return TRUE;
  }
  if (outcome == L"slow")
    Sleep(2000);
  else if (outcome != L"late" && Number(outcome, &error) && error)
    return Fail(error);
  Tree<void(WINAPI*)(DEVINST, DWORD)>("QuorvaneStandInRestart")(list->node, outcome == L"late" ? 3000 : 0);
  return TRUE;
}

EXPORT BOOL WINAPI SetupDiGetDeviceInstallParamsW(HDEVINFO set, PSP_DEVINFO_DATA, PSP_DEVINSTALL_PARAMS_W params) {
  if (!params || params->cbSize != sizeof *params)
    return Fail(ERROR_INVALID_USER_BUFFER);
  params->Flags = static_cast<List*>(set)->flags;
  return TRUE;
}
#endif

#ifdef QUORVANE_STANDIN_NEWDEV
// Uninstalls the device and its children. Without NeedReboot, a removal
// that needs a reboot shows the system's restart dialog box: recorded, as
// the test must show that none was asked for.
EXPORT BOOL WINAPI DiUninstallDevice(HWND, HDEVINFO set, PSP_DEVINFO_DATA data, DWORD flags, PBOOL needReboot) {
  if (flags)
    return Fail(ERROR_INVALID_FLAGS);
  if (!set || set == INVALID_HANDLE_VALUE)
    return Fail(ERROR_INVALID_HANDLE);
  if (!data || data->cbSize != sizeof *data)
    return Fail(ERROR_INVALID_USER_BUFFER);
  const std::wstring id = Tree<const wchar_t*(WINAPI*)(DEVINST)>("QuorvaneStandInId")(data->DevInst);
  const std::wstring outcome = Variable(L"QUORVANE_TEST_REMOVE");
  DWORD error = 0;
  if (outcome != L"reboot" && Number(outcome, &error) && error)
    return Fail(error);
  if (!Tree<BOOL(WINAPI*)(DEVINST)>("QuorvaneStandInUninstall")(data->DevInst))
    return Fail(ERROR_NO_SUCH_DEVINST);
  const bool reboot = outcome == L"reboot";
  if (needReboot)
    *needReboot = reboot;
  Record(L"DiUninstallDevice " + id + (needReboot ? L": NeedReboot given" : L": NeedReboot null") +
         (reboot && !needReboot ? L", restart dialog box shown" : L""));
  return TRUE;
}
#endif
