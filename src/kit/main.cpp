// quorvane-kit.exe [VERB] [ARGUMENT...]: the deployment kit's program. Each
// verb first checks the folder it was started from and the files of it that
// the verb uses, and holds them while it uses them (see kVerbs).
// quorvane-kit.exe [-enable] [/restart] [/remove-stale], and /run with the
// same arguments (apply.cmd's, so that none of an administrator's arguments
// is ever taken for another verb): the work at every boot. Runs the
// quorvane.exe beside it, names the instance written by quorvane.exe's own
// search, tells what Windows says of it, removes stale instances and
// restarts the one written when asked, appends to the log and writes one
// event, one run at a time.
// quorvane-kit.exe /install [-enable] [/restart] [/remove-stale]: installs
// the kit from the package, copying what it checked (see install.h).
// quorvane-kit.exe /uninstall: removes the task, the event source and the
// installed kit.
// quorvane-kit.exe /undo: deletes SelectiveSuspendOn from the Device
// Parameters key of every instance of both panels; 1 when one that is there
// could not be deleted.
// quorvane-kit.exe /status [-enable]: whether the setting holds on the panel
// in use, read-only, for any user (see status.h).
// The verbs that change the machine refuse without administrator rights
// (740): the manifest runs the program as invoked, for /status.
#include <windows.h>

#include "kit.h"
#include "devices.h"
#include "install.h"
#include "log.h"
#include "security.h"
#include "status.h"
#include "selective_suspend.h"

namespace {

// How long a run waits for another to finish before it goes on: a run takes
// seconds, and a restart a few more.
constexpr DWORD kLockWait = 60 * 1000;

struct Machine {
  Devices devices;
  Text program;  // quorvane.exe beside this program
  Log log;
  int logHeld;
};

// The folder of this program's own image, without its final backslash:
// where quorvane.exe is, never the current directory or PATH.
int OwnFolder(Text* folder) {
  Clear(folder);
  const DWORD length = GetModuleFileNameW(nullptr, folder->data, kTextCapacity);
  if (!length || length >= kTextCapacity - sizeof L"\\quorvane.exe" / sizeof(wchar_t)) {
    Clear(folder);
    return 0;
  }
  folder->length = length;
  while (folder->length && folder->data[folder->length - 1] != L'\\')
    --folder->length;
  if (folder->length)
    --folder->length;
  folder->data[folder->length] = L'\0';
  return folder->length != 0;
}

DWORD RunSwitch(void* context, int enable, Text* why) {
  const Machine& machine = *static_cast<Machine*>(context);
  if (!machine.program.length) {
    Append(why, L"quorvane.exe could not be started: this program's own path is too long");
    return kStatusNotStarted;
  }
  Text line;
  Clear(&line);
  Append(&line, L"\"");
  Append(&line, machine.program.data);
  Append(&line, enable ? L"\" -enable" : L"\"");
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process;
  // quorvane.exe needs no console: none is made for it at boot.
  if (!CreateProcessW(machine.program.data, line.data, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                      &startup, &process)) {
    Append(why, L"quorvane.exe could not be started");
    AppendErrorNote(why, GetLastError());
    return kStatusNotStarted;
  }
  DWORD status = kStatusNotStarted;
  if (!WaitForExit(process, &status)) {
    Append(why, L"the status of quorvane.exe could not be read");
    AppendErrorNote(why, GetLastError());
    status = kStatusNotStarted;
  }
  return status;
}

int DeviceKey(void*) {
  const wchar_t* chosen = ChooseDeviceKey();
  return chosen ? (chosen == kDeviceKeys[0] ? 0 : 1) : -1;
}

int WrittenPath(void*, wchar_t* path) {
  for (DWORD i = 0; i < kPathCapacity; ++i)
    path[i] = L'\0';
  return FindDeviceParametersPath(path);
}

int Instance(void*, int device, DWORD index, Text* id) {
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDeviceKeys[device], 0, KEY_ENUMERATE_SUB_KEYS, &key) != ERROR_SUCCESS)
    return 0;
  wchar_t name[256];  // the longest key name the registry holds, and its terminator
  DWORD length = 256;
  const LSTATUS result = RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
  RegCloseKey(key);
  if (result != ERROR_SUCCESS)
    return 0;
  Clear(id);
  Append(id, kDeviceKeys[device] + sizeof kEnumKey / sizeof kEnumKey[0] - 1);
  Append(id, L"\\");
  Append(id, name);
  return 1;
}

DeviceState StateOf(void* context, const wchar_t* id, Text* why) {
  return StateOfDevice(static_cast<Machine*>(context)->devices, id, why);
}

Value ReadValue(void*, const wchar_t* id, DWORD* data) {
  Text path;
  Clear(&path);
  Append(&path, kEnumKey);
  Append(&path, id);
  Append(&path, L"\\Device Parameters");
  HKEY key;
  LSTATUS result = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.data, 0, KEY_QUERY_VALUE, &key);
  if (result == ERROR_FILE_NOT_FOUND)
    return Value::kAbsent;
  if (result != ERROR_SUCCESS)
    return Value::kUnreadable;
  DWORD type = REG_NONE;
  DWORD size = sizeof *data;
  result = RegQueryValueExW(key, L"SelectiveSuspendOn", nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
  RegCloseKey(key);
  if (result == ERROR_FILE_NOT_FOUND)
    return Value::kAbsent;
  if (result == ERROR_MORE_DATA || (result == ERROR_SUCCESS && (type != REG_DWORD || size != sizeof *data)))
    return Value::kWrongType;
  return result == ERROR_SUCCESS ? Value::kDword : Value::kUnreadable;
}

Change Remove(void* context, const wchar_t* id, Text* why) {
  return RemoveDevice(static_cast<Machine*>(context)->devices, id, why);
}

Change Restart(void* context, const wchar_t* id, Text* why) {
  return RestartDevice(static_cast<Machine*>(context)->devices, id, why);
}

// Writes a line to the log this run holds, or, when it holds none, tries to
// open it. Returns 1, or 0 with why.
int LogLine(const Machine& machine, const wchar_t* line, Text* why) {
  return machine.logHeld ? WriteLog(machine.log, line, why) : AppendToLog(line, why);
}

void Note(void* context, const wchar_t* line) {
  Text why;
  Clear(&why);
  if (LogLine(*static_cast<Machine*>(context), line, &why))
    return;
  Text said;
  Clear(&said);
  Append(&said, line);
  Append(&said, L"; not logged - WARNING: ");
  Append(&said, why.data);
  SayOnStderr(said.data);
}

int Lock(void* context) {
  Machine& machine = *static_cast<Machine*>(context);
  Text why;
  Clear(&why);
  int busy = 0;
  // A log that cannot be opened for another reason holds no run back: the
  // run's line then says why it was not logged.
  machine.logHeld = HoldLog(&machine.log, kLockWait, &busy, &why);
  return !busy;
}

int Undo() {
  int status = 0;
  Text id;
  Text key;
  for (int device = 0; device < 2; ++device) {
    for (DWORD index = 0; Instance(nullptr, device, index, &id); ++index) {
      Clear(&key);
      Append(&key, kEnumKey);
      Append(&key, id.data);
      Append(&key, L"\\Device Parameters");
      const LSTATUS result = RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, key.data, L"SelectiveSuspendOn");
      if (result == ERROR_FILE_NOT_FOUND)
        continue;
      Text said;
      Clear(&said);
      Append(&said, result == ERROR_SUCCESS ? L"deleted: " : L"not deleted (error ");
      if (result != ERROR_SUCCESS) {
        AppendError(&said, static_cast<DWORD>(result));
        Append(&said, L"): ");
        status = 1;
      }
      Append(&said, L"HKEY_LOCAL_MACHINE\\");
      Append(&said, key.data);
      if (result == ERROR_SUCCESS)
        Say(STD_OUTPUT_HANDLE, said.data);
      else
        SayOnStderr(said.data);
    }
  }
  return status;
}

// The run: the work at every boot, and apply.cmd's.
int Run(const Package& package, const KitRequest& request, int restricted) {
  Machine machine;
  machine.program = package.folder;
  Append(&machine.program, L"\\quorvane.exe");
  machine.log = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
  machine.logHeld = 0;
  LoadDevices(&machine.devices, restricted);
  const KitPlatform platform = {&machine, RunSwitch, DeviceKey, WrittenPath, Instance, StateOf,
                                ReadValue, Remove, Restart, Note, Lock};

  Text line;
  KitEvent event;
  const DWORD status = RunKit(request, platform, &line, &event);
  FreeDevices(&machine.devices);

  Text why;
  Clear(&why);
  if (!LogLine(machine, line.data, &why)) {
    NoteNotLogged(&line, &event, why.data);
    SayOnStderr(line.data);
  }
  Clear(&why);
  if (!ReportKitEvent(event, line.data, &why))
    SayOnStderr(why.data);
  ReleaseLog(&machine.log);
  return static_cast<int>(status);
}

void SayOut(void*, const wchar_t* line) {
  Say(STD_OUTPUT_HANDLE, line);
}

// Reads, and only reads: what it must never do has no function to call.
int Status(const Package&, const KitRequest& request, int restricted) {
  Machine machine;
  Clear(&machine.program);
  machine.log = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
  machine.logHeld = 0;
  LoadDevices(&machine.devices, restricted);
  const KitPlatform platform = {&machine, nullptr, DeviceKey, WrittenPath, Instance, StateOf,
                                ReadValue, nullptr, nullptr, SayOut, nullptr};
  const DWORD status = ReportStatus(request.enable, platform);
  FreeDevices(&machine.devices);
  return static_cast<int>(status);
}

int InstallKit(const Package& package, const KitRequest& request, int) {
  return static_cast<int>(Install(package, request));
}

int UninstallKit(const Package& package, const KitRequest&, int) {
  return static_cast<int>(Uninstall(package));
}

int UndoValues(const Package&, const KitRequest&, int) {
  return Undo();
}

// At boot no one reads the error stream: a run that was refused says so in
// the log and the event too.
void LogRefusal(const KitRequest& request, const wchar_t* why) {
  Text line;
  Clear(&line);
  Append(&line, request.enable ? L"switch -enable" : L"switch none");
  Append(&line, L"; status 1603 - nothing was run: ");
  Append(&line, why);
  Append(&line, L"; key none");
  KitEvent event = {EVENTLOG_ERROR_TYPE, 103};
  Text failed;
  Clear(&failed);
  if (!AppendToLog(line.data, &failed))
    NoteNotLogged(&line, &event, failed.data);
  Clear(&failed);
  ReportKitEvent(event, line.data, &failed);
}

// What each verb reads or runs from its own folder: checked, and held while
// it is used. install.cmd comes first: it is the one file not installed.
constexpr const wchar_t* kRunFiles[] = {L"quorvane-kit.exe", L"quorvane.exe", L"apply.cmd", L"startup.cmd"};
constexpr const wchar_t* kInstallFiles[] = {
    L"install.cmd", L"quorvane.exe", L"quorvane-kit.exe",  L"apply.cmd", L"uninstall.cmd",    L"undo.cmd",
    L"detect.ps1",  L"quorvane-task.xml", L"README.md", L"LICENSE",   L"docs", L"docs\\deploying.md"};
constexpr const wchar_t* kUninstallFiles[] = {L"quorvane-kit.exe", L"uninstall.cmd"};
constexpr const wchar_t* kUndoFiles[] = {L"quorvane-kit.exe", L"undo.cmd"};

// What a verb takes after its name.
enum class Takes { kNothing, kSwitch, kKitArguments };

struct Verb {
  const wchar_t* name;  // the first argument
  int (*handler)(const Package& package, const KitRequest& request, int restricted);
  const wchar_t* const* files;  // null: it changes nothing and runs nothing, so checks nothing
  int count;
  Takes takes;
  const wchar_t* usage;
  const wchar_t* refused;  // said when the check refuses, or without administrator rights
};

template <int N>
constexpr int Count(const wchar_t* const (&)[N]) {
  return N;
}

// The first is also what runs with no verb (startup.cmd). A read-only verb
// takes a row of its own, with the files it reads.
constexpr Verb kVerbs[] = {
    {L"/run", Run, kRunFiles, Count(kRunFiles), Takes::kKitArguments,
     L"apply.cmd [-enable] [/restart] [/remove-stale]", L"nothing was run"},
    {L"/install", InstallKit, kInstallFiles, Count(kInstallFiles), Takes::kKitArguments,
     L"install.cmd [-enable] [/restart] [/remove-stale]", L"nothing was installed"},
    {L"/uninstall", UninstallKit, kUninstallFiles, Count(kUninstallFiles), Takes::kNothing, L"uninstall.cmd",
     L"nothing was removed"},
    {L"/undo", UndoValues, kUndoFiles, Count(kUndoFiles), Takes::kNothing, L"undo.cmd", L"nothing was deleted"},
    {L"/status", Status, nullptr, 0, Takes::kSwitch, L"quorvane-kit.exe /status [-enable]", L""},
};

// Returns 0, or the index of the first argument the verb does not take.
int ReadArguments(const Verb& verb, int argc, const wchar_t* const* argv, KitRequest* request) {
  *request = {0, 0, 0};
  if (verb.takes == Takes::kKitArguments)
    return ParseKitArguments(argc, argv, request);
  for (int i = 1; i < argc; ++i) {
    if (verb.takes == Takes::kNothing || !SameText(argv[i], L"-enable"))
      return i;
    request->enable = 1;
  }
  return 0;
}

// An administrator whose token is elevated, or SYSTEM. At a prompt that is
// not elevated, the token holds Administrators for denying access only, and
// CheckTokenMembership does not count it.
int Elevated() {
  BYTE administrators[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof administrators;
  BOOL member = FALSE;
  return CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size) &&
         CheckTokenMembership(nullptr, administrators, &member) && member;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  // Before anything else, so that no DLL ever loads from beside this program.
  const int restricted = RestrictLibrarySearch();
  const Verb* verb = nullptr;
  for (const Verb& each : kVerbs) {
    if (argc >= 2 && SameText(argv[1], each.name)) {
      verb = &each;
      --argc;
      ++argv;
      break;
    }
  }
  const int named = verb != nullptr;
  if (!named)
    verb = &kVerbs[0];
  KitRequest request;
  if (const int bad = ReadArguments(*verb, argc, argv, &request)) {
    Text usage;
    Clear(&usage);
    Append(&usage, L"\"");
    Append(&usage, argv[bad]);
    Append(&usage, L"\" is not an argument. Usage: ");
    Append(&usage, verb->usage);
    // Without a verb, "/?" or a mistyped verb lands here: name them all.
    if (!named) {
      Append(&usage, L". quorvane-kit.exe's verbs:");
      for (const Verb& each : kVerbs) {
        Append(&usage, L" ");
        Append(&usage, each.name);
      }
    }
    SayOnStderr(usage.data);
    return kStatusUsage;
  }

  if (!verb->files) {
    Package none = {};
    return verb->handler(none, request, restricted);
  }
  Text why;
  Clear(&why);
  if (!Elevated()) {
    Append(&why, verb->usage);
    Append(&why, L" needs administrator rights: run it from an elevated prompt, or as SYSTEM; ");
    Append(&why, verb->refused);
    SayOnStderr(why.data);
    return kStatusElevationRequired;
  }
  Text folder;
  Package package;
  if (!restricted) {
    // Windows' own functions load DLLs on demand (the check's ntmarta.dll
    // among them), from this program's folder first unless the search is
    // restricted: a DLL planted there would run before the check refuses.
    Append(&why, L"this Windows cannot keep DLLs from loading from beside this program (Windows 7 needs update "
                 L"KB2533623 or a later one that replaces it); install it");
  } else if (!OwnFolder(&folder)) {
    Append(&why, L"the package's folder is not known: this program's own path is too long");
  } else if (OpenPackage(folder.data, verb->files, verb->count, &package, &why)) {
    const int status = verb->handler(package, request, restricted);
    ClosePackage(&package);
    return status;
  } else {
    Append(&why,
           L": whoever may change the package may change what runs as SYSTEM. Unpack it in a folder that only "
           L"administrators can change (such as one in \"C:\\Program Files\") and run it from there");
  }
  SayOnStderr(why.data);
  SayOnStderr(verb->refused);
  if (verb->handler == Run)
    LogRefusal(request, why.data);
  return ERROR_INSTALL_FAILURE;
}
