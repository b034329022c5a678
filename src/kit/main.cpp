// quorvane-kit.exe [VERB] [ARGUMENT...]: the deployment kit's program. Each
// verb that changes the machine first checks the folder it was started from
// and the files of it that the verb uses, and holds them while it uses them
// (see kVerbs), and refuses (740) without administrator rights: the
// manifest runs the program as invoked, for /status.
//   /run [-enable] [/restart] [/remove-stale]  apply.cmd's (and, with no
//       verb, the earlier kits' startup.cmd): one run with these arguments.
//       Does quorvane.exe's work in this process, through the same functions
//       and guard, tells what Windows says of the instance written, removes
//       stale instances and restarts it when asked, appends to the log and
//       writes one event, one run at a time.
//   /deployed  the start-up task's: one run with the deployed choice.
//   /remediate  Intune's remediation: acts only where it helps (status.h).
//   /install [-enable] [/restart] [/remove-stale]  installs the kit and
//       records the choice (install.h).
//   /uninstall  removes the task, the event source, the record and the kit.
//   /undo  deletes SelectiveSuspendOn from every instance of both panels.
//   /status [-enable]  whether the setting is in effect, read-only, for any
//       user; without -enable, against the deployed choice (status.h).
#include <windows.h>

#include "kit.h"
#include "devices.h"
#include "install.h"
#include "log.h"
#include "record.h"
#include "security.h"
#include "status.h"

#include <aclapi.h>

namespace {

// How long a run waits for another to finish before it goes on: a run takes
// seconds, and a restart a few more.
constexpr DWORD kLockWait = 60 * 1000;

struct Machine {
  Devices devices;
  Log log;
  int logHeld;
};

// The folder of this program's own image, without its final backslash:
// the package checked, never the current directory or PATH.
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

// Whether the guard's name is held by a copy of quorvane.exe or of the kit:
// only SYSTEM and administrators run them, and own what they create. Any
// user may take the name first; then says who holds it, or what.
int HeldByACopy(Text* why) {
  HANDLE guard = OpenMutexW(READ_CONTROL | SYNCHRONIZE, FALSE, kGuardName);
  if (!guard) {
    const DWORD error = GetLastError();
    // Gone since: the copy that held it has ended.
    if (error == ERROR_FILE_NOT_FOUND)
      return 1;
    Append(why, L"the name ");
    Append(why, kGuardName);
    Append(why, error == ERROR_INVALID_HANDLE ? L" is taken by an object of another kind"
                                              : L" is held by an object this run may not read");
    AppendErrorNote(why, error);
    Append(why, L", no copy of the kit's: written all the same");
    return 0;
  }
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  Domains domains;
  ReadDomains(&domains);
  // Windows gives every named object an owner; one it does not show is
  // taken for a copy's, as quorvane.exe would take it (Wine shows none).
  const int copy = GetSecurityInfo(guard, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                                   nullptr, &descriptor) != ERROR_SUCCESS ||
                   !owner || TrustedOwner(owner, domains, kGuardName, why);
  LocalFree(descriptor);
  CloseHandle(guard);
  if (!copy)
    Append(why, L": no copy of the kit's, written all the same");
  return copy;
}

// quorvane.exe's own work, in this process: one process start fewer at
// every boot, and the same guard keeps it and quorvane.exe apart. A name
// that a user took first keeps no run out.
DWORD RunSwitch(void*, int enable, Text* why) {
  const wchar_t* const argv[] = {L"quorvane.exe", L"-enable"};
  const DWORD status = static_cast<DWORD>(RunSingleInstance(enable ? 2 : 1, argv));
  if (status != kStatusGuardTaken || HeldByACopy(why))
    return status;
  return WriteSelectiveSuspend(enable ? 1 : 0) ? kStatusWritten : kStatusNotWritten;
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

void ReadKitRecord(void*, Record* record) {
  ReadRecord(record);
}

int WriteKitRecord(void*, const Record& record, Text* why) {
  return WriteRecord(record, why);
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

// The real machine behind the seam; the caller frees its devices.
KitPlatform MachinePlatform(Machine* machine, int restricted) {
  machine->log = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
  machine->logHeld = 0;
  LoadDevices(&machine->devices, restricted);
  return {machine, RunSwitch, DeviceKey, WrittenPath, Instance, StateOf, ReadValue,
          Remove,  Restart,   ReadKitRecord, WriteKitRecord, Note, Lock};
}

// Logs the run's line and writes its event; the line says when the log could not be.
void Report(const Machine& machine, Text* line, KitEvent* event) {
  Text why;
  Clear(&why);
  if (!LogLine(machine, line->data, &why)) {
    NoteNotLogged(line, event, why.data);
    SayOnStderr(line->data);
  }
  Clear(&why);
  if (!ReportKitEvent(*event, line->data, &why))
    SayOnStderr(why.data);
}

// A run: apply.cmd's, with its arguments.
int Run(const Package&, const KitRequest& request, int restricted) {
  Machine machine;
  const KitPlatform platform = MachinePlatform(&machine, restricted);
  Text line;
  KitEvent event;
  const DWORD status = RunKit(request, platform, &line, &event);
  FreeDevices(&machine.devices);
  Report(machine, &line, &event);
  ReleaseLog(&machine.log);
  return static_cast<int>(status);
}

// At boot no one reads the error stream: a run that was refused says so in
// the log and the event too.
void LogRefusal(const KitRequest& request, const wchar_t* why) {
  Text line;
  Clear(&line);
  Append(&line, request.enable ? L"switch -enable" : L"switch none");
  Append(&line, L"; status 1603 - ERROR: nothing was run: ");
  Append(&line, why);
  Append(&line, L"; key none");
  KitEvent event;
  ClearEvent(&event, EVENTLOG_ERROR_TYPE, 103, ERROR_INSTALL_FAILURE);
  Text failed;
  Clear(&failed);
  if (!AppendToLog(line.data, &failed))
    NoteNotLogged(&line, &event, failed.data);
  Clear(&failed);
  ReportKitEvent(event, line.data, &failed);
}

// The deployed choice, or 1603 having said and logged why there is none.
int Deployed(KitRequest* request) {
  Text why;
  Clear(&why);
  if (ReadDeployed(request, &why))
    return 1;
  Append(&why, L": run install.cmd again");
  SayOnStderr(why.data);
  LogRefusal(*request, why.data);
  return 0;
}

// The start-up task's run, as deployed.
int RunDeployed(const Package& package, const KitRequest&, int restricted) {
  KitRequest deployed;
  return Deployed(&deployed) ? Run(package, deployed, restricted) : ERROR_INSTALL_FAILURE;
}

int RemediateDeployed(const Package&, const KitRequest&, int restricted) {
  KitRequest deployed;
  if (!Deployed(&deployed))
    return ERROR_INSTALL_FAILURE;
  Machine machine;
  const KitPlatform platform = MachinePlatform(&machine, restricted);
  Text said;
  int ran = 0;
  Text line;
  KitEvent event;
  const DWORD status = Remediate(deployed, platform, &said, &ran, &line, &event);
  FreeDevices(&machine.devices);
  if (ran)
    Report(machine, &line, &event);
  ReleaseLog(&machine.log);
  Say(STD_OUTPUT_HANDLE, said.data);
  return static_cast<int>(status);
}

void SayOut(void*, const wchar_t* line) {
  Say(STD_OUTPUT_HANDLE, line);
}

// Reads, and only reads: what it must never do has no function to call.
int Status(const Package&, const KitRequest& request, int restricted) {
  Text whence;
  Clear(&whence);
  KitRequest deployed;
  Text why;
  Clear(&why);
  DWORD asked = 1;
  if (request.enable) {
    Append(&whence, L"-enable, as asked");
  } else if (ReadDeployed(&deployed, &why)) {
    asked = deployed.enable ? 1 : 0;
    Append(&whence, L"the deployed choice (install.cmd");
    AppendArguments(&whence, deployed);
    Append(&whence, L")");
  } else {
    asked = 0;
    Append(&whence, L"as without -enable: ");
    Append(&whence, why.data);
  }
  Machine machine;
  KitPlatform platform = MachinePlatform(&machine, restricted);
  platform.runSwitch = nullptr;
  platform.remove = nullptr;
  platform.restart = nullptr;
  platform.writeRecord = nullptr;
  platform.lock = nullptr;
  platform.note = SayOut;
  const DWORD status = ReportStatus(asked, whence.data, platform);
  FreeDevices(&machine.devices);
  return static_cast<int>(status);
}

int InstallKit(const Package& package, const KitRequest& request, int) {
  return static_cast<int>(Install(package, request, nullptr));
}

int UninstallKit(const Package& package, const KitRequest&, int) {
  return static_cast<int>(Uninstall(package));
}

int UndoValues(const Package&, const KitRequest&, int) {
  return Undo();
}

// What each verb reads or runs from its own folder: checked, and held while
// it is used (the install's in install.h).
constexpr const wchar_t* kRunFiles[] = {L"quorvane-kit.exe", L"apply.cmd"};
constexpr const wchar_t* kOwnFile[] = {L"quorvane-kit.exe"};
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

// The first is also what runs with no verb (the earlier kits' startup.cmd).
// A read-only verb takes a row of its own, with the files it reads.
constexpr Verb kVerbs[] = {
    {L"/run", Run, kRunFiles, Count(kRunFiles), Takes::kKitArguments,
     L"apply.cmd [-enable] [/restart] [/remove-stale]", L"nothing was run"},
    {L"/deployed", RunDeployed, kOwnFile, Count(kOwnFile), Takes::kNothing, L"quorvane-kit.exe /deployed",
     L"nothing was run"},
    {L"/remediate", RemediateDeployed, kOwnFile, Count(kOwnFile), Takes::kNothing, L"quorvane-kit.exe /remediate",
     L"nothing was run"},
    {L"/install", InstallKit, kInstallFiles, kInstallFileCount, Takes::kKitArguments,
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
  } else if (!package.held) {
    Append(&why,
           L": whoever may change the package may change what runs as SYSTEM. Unpack it in a folder that only "
           L"administrators can change (such as one in \"C:\\Program Files\") and run it from there");
  }
  SayOnStderr(why.data);
  SayOnStderr(verb->refused);
  if (verb->handler == Run || verb->handler == RunDeployed || verb->handler == RemediateDeployed)
    LogRefusal(request, why.data);
  return ERROR_INSTALL_FAILURE;
}
