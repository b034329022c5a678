#include "install.h"

#include "log.h"

#include <sddl.h>

namespace {

constexpr DWORD kFailed = ERROR_INSTALL_FAILURE;  // 1603
constexpr wchar_t kSource[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Quorvane";
constexpr DWORD kDeepest = 8;  // the kit's own folders are one deep

// %ProgramFiles%\Quorvane, .new and .old: where SYSTEM and Administrators
// alone may create folders.
struct Places {
  Text folder;
  Text fresh;
  Text old;
};

// ProgramFilesDir is what %ProgramFiles% expands to at boot, for the task;
// the caller's environment is not asked.
int FindPlaces(Places* places, Text* why) {
  wchar_t programs[MAX_PATH];
  DWORD size = sizeof programs;
  const LSTATUS result = RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion",
                                      L"ProgramFilesDir", RRF_RT_REG_SZ, nullptr, programs, &size);
  if (result != ERROR_SUCCESS) {
    Append(why, L"could not find the Program Files folder");
    AppendErrorNote(why, static_cast<DWORD>(result));
    return 0;
  }
  Clear(&places->folder);
  Append(&places->folder, programs);
  Append(&places->folder, L"\\Quorvane");
  places->fresh = places->folder;
  Append(&places->fresh, L".new");
  places->old = places->folder;
  Append(&places->old, L".old");
  return 1;
}

int Exists(const Text& path) {
  return GetFileAttributesW(path.data) != INVALID_FILE_ATTRIBUTES;
}

void Join(Text* path, const Text& folder, const wchar_t* name) {
  *path = folder;
  Append(path, L"\\");
  Append(path, name);
}

// Removes folder and what it holds; a link in it goes itself, never what it
// leads to. 1 when the folder is gone.
int RemoveTree(const Text& folder, DWORD depth) {
  Text path;
  Join(&path, folder, L"*");
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW(path.data, &found);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const wchar_t* name = found.cFileName;
      if (SameText(name, L".") || SameText(name, L".."))
        continue;
      Join(&path, folder, name);
      const DWORD attributes = found.dwFileAttributes;
      if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        SetFileAttributesW(path.data, FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(path.data);
      } else if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) || depth >= kDeepest) {
        RemoveDirectoryW(path.data);
      } else {
        RemoveTree(path, depth + 1);
      }
    } while (FindNextFileW(find, &found));
    FindClose(find);
  }
  RemoveDirectoryW(folder.data);
  return !Exists(folder);
}

// System32 followed by name: where Windows' own programs are called from.
int InSystem32(Text* path, const wchar_t* name) {
  wchar_t system[MAX_PATH];
  const UINT length = GetSystemDirectoryW(system, MAX_PATH);
  Clear(path);
  if (!length || length >= MAX_PATH)
    return 0;
  Append(path, system);
  Append(path, name);
  return 1;
}

}  // namespace

int WaitForExit(const PROCESS_INFORMATION& process, DWORD* status) {
  CloseHandle(process.hThread);
  const int read = WaitForSingleObject(process.hProcess, INFINITE) == WAIT_OBJECT_0 &&
                   GetExitCodeProcess(process.hProcess, status);
  CloseHandle(process.hProcess);
  return read;
}

namespace {

// Runs a program by its full path, quoted, and its arguments, from System32, output to the given handles, and
// returns its exit status, or kStatusNotStarted with why.
DWORD Start(const wchar_t* program, const wchar_t* arguments, HANDLE output, HANDLE error, Text* why) {
  Text system;
  const int found = InSystem32(&system, L"");
  Text command;
  Clear(&command);
  Append(&command, L"\"");
  Append(&command, program);
  Append(&command, *arguments ? L"\" " : L"\"");
  Append(&command, arguments);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = output;
  startup.hStdError = error;
  PROCESS_INFORMATION process;
  if (!found ||
      !CreateProcessW(program, command.data, nullptr, nullptr, TRUE, 0, nullptr, system.data, &startup, &process)) {
    Append(why, program);
    Append(why, L" could not be started");
    AppendErrorNote(why, GetLastError());
    return kStatusNotStarted;
  }
  DWORD status = kStatusNotStarted;
  WaitForExit(process, &status);
  return status;
}

// schtasks.exe of System32 with arguments, its output discarded (its errors
// too, unless shown); its exit status, or kStatusNotStarted.
DWORD Schtasks(const wchar_t* arguments, int showErrors) {
  Text program;
  if (!InSystem32(&program, L"\\schtasks.exe"))
    return kStatusNotStarted;
  SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
  HANDLE nul = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited,
                           OPEN_EXISTING, 0, nullptr);
  if (nul == INVALID_HANDLE_VALUE)
    return kStatusNotStarted;
  Text why;
  Clear(&why);
  const DWORD status = Start(program.data, arguments, nul, showErrors ? GetStdHandle(STD_ERROR_HANDLE) : nul, &why);
  CloseHandle(nul);
  if (why.length)
    SayOnStderr(why.data);
  return status;
}

// Writes the file's bytes, read through the handle that was checked, to a
// new file at path.
int CopyFrom(HANDLE source, const wchar_t* path, SECURITY_ATTRIBUTES* security) {
  LARGE_INTEGER start;
  start.QuadPart = 0;
  if (!SetFilePointerEx(source, start, nullptr, FILE_BEGIN))
    return 0;
  HANDLE target = CreateFileW(path, GENERIC_WRITE, 0, security, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (target == INVALID_HANDLE_VALUE)
    return 0;
  BYTE buffer[16384];
  DWORD read = 0;
  int copied = 1;
  while (copied && ReadFile(source, buffer, sizeof buffer, &read, nullptr) && read) {
    DWORD written = 0;
    copied = WriteFile(target, buffer, read, &written, nullptr) && written == read;
  }
  copied &= read == 0;
  return CloseHandle(target) && copied;
}

int IsFolder(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION information;
  return GetFileInformationByHandle(handle, &information) &&
         (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The kit's arguments, as startup.cmd and the run after the install take them.
void AppendArguments(Text* line, const KitRequest& request) {
  if (request.enable)
    Append(line, L" -enable");
  if (request.restart)
    Append(line, L" /restart");
  if (request.removeStale)
    Append(line, L" /remove-stale");
}

// The task's own definition names startup.cmd, so that it registers byte for
// byte as it ships; the arguments live here.
int WriteStartup(const Text& folder, const KitRequest& request, SECURITY_ATTRIBUTES* security) {
  Text path;
  Join(&path, folder, L"startup.cmd");
  Text line;
  Clear(&line);
  Append(&line, L"@\"%~dp0quorvane-kit.exe\"");
  AppendArguments(&line, request);
  Append(&line, L"\r\n");
  char bytes[128];
  int size = 0;
  for (; line.data[size] && size < static_cast<int>(sizeof bytes); ++size)
    bytes[size] = static_cast<char>(line.data[size]);  // ASCII only
  HANDLE file = CreateFileW(path.data, GENERIC_WRITE, 0, security, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return 0;
  DWORD written = 0;
  const int done = WriteFile(file, bytes, size, &written, nullptr) && written == static_cast<DWORD>(size);
  return CloseHandle(file) && done;
}

// Copies every file of the package but install.cmd, the first, through the
// handles that were checked.
int Stage(const Package& package, const Text& fresh, const KitRequest& request, SECURITY_ATTRIBUTES* security) {
  if (!CreateDirectoryW(fresh.data, security))
    return 0;
  Text path;
  for (int i = 1; i < package.count; ++i) {
    Join(&path, fresh, package.names[i]);
    const HANDLE source = package.files[i];
    if (source == INVALID_HANDLE_VALUE)
      return 0;
    if (IsFolder(source) ? !CreateDirectoryW(path.data, security) : !CopyFrom(source, path.data, security))
      return 0;
  }
  return WriteStartup(fresh, request, security);
}

// Owned by Administrators, whoever installs: the check at every boot, as
// SYSTEM, trusts no single administrator's account, and Program Files'
// CREATOR OWNER entry gives the owner full control. Permissions are
// inherited from Program Files.
int StageOwned(const Package& package, const Text& fresh, const KitRequest& request) {
  SECURITY_ATTRIBUTES security = {sizeof security, nullptr, FALSE};
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:BA", SDDL_REVISION_1, &security.lpSecurityDescriptor,
                                                            nullptr))
    return 0;
  const int staged = Stage(package, fresh, request, &security);
  LocalFree(security.lpSecurityDescriptor);
  return staged;
}

// Event Viewer reads the descriptions from quorvane-kit.exe's messages, and
// eventcreate, which marks the sources it makes (CustomSource), writes to no
// other. An earlier kit's source becomes this one.
int RegisterSource(const Text& folder) {
  HKEY key;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSource, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
      ERROR_SUCCESS)
    return 0;
  Text file;
  Join(&file, folder, L"quorvane-kit.exe");
  const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
  const LSTATUS removed = RegDeleteValueW(key, L"CustomSource");
  const int done = RegSetValueExW(key, L"EventMessageFile", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(file.data),
                                  (file.length + 1) * sizeof(wchar_t)) == ERROR_SUCCESS &&
                   RegSetValueExW(key, L"TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types),
                                  sizeof types) == ERROR_SUCCESS &&
                   (removed == ERROR_SUCCESS || removed == ERROR_FILE_NOT_FOUND);
  RegCloseKey(key);
  return done;
}

// Says the parts as one line on the error stream.
void Tell(const wchar_t* a, const wchar_t* b = L"", const wchar_t* c = L"", const wchar_t* d = L"",
          const wchar_t* e = L"") {
  Text message;
  Clear(&message);
  const wchar_t* parts[] = {a, b, c, d, e};
  for (const wchar_t* part : parts)
    Append(&message, part);
  SayOnStderr(message.data);
}

// The task from the definition in folder, registered as it ships.
DWORD RegisterTask(const Text& folder) {
  Text arguments;
  Clear(&arguments);
  Append(&arguments, L"/create /tn Quorvane /xml \"");
  Append(&arguments, folder.data);
  Append(&arguments, L"\\quorvane-task.xml\" /f");
  return Schtasks(arguments.data, 1);
}

struct Swap {
  int stopped;  // there was a task, stopped for the swap
  int moved;    // the kit installed before is in .old
  int placed;   // the new kit is in place
};

// The kit installed before goes back in place, with its task registered
// again from its own definition, which enables it. Where there was none,
// nothing of the new one stays.
DWORD Restore(const Places& places, const Swap& swap, const wchar_t* step, const wchar_t* path, const wchar_t* after) {
  Tell(L"could not ", step, path, after);
  if (swap.placed)
    RemoveTree(places.folder, 0);
  if (swap.moved)
    MoveFileExW(places.old.data, places.folder.data, 0);
  RemoveTree(places.fresh, 0);
  Text definition;
  Join(&definition, places.folder, L"quorvane-task.xml");
  if (swap.stopped && Exists(definition))
    RegisterTask(places.folder);
  if (swap.moved && !Exists(places.folder)) {
    Tell(L"the kit installed before could not be put back: it is in \"", places.old.data, L"\"");
    return kFailed;
  }
  SayOnStderr(L"the kit installed before, if any, is left as it was");
  return kFailed;
}

int SameFile(HANDLE handle, const Text& path) {
  HANDLE other = CreateFileW(path.data, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (other == INVALID_HANDLE_VALUE)
    return 0;
  BY_HANDLE_FILE_INFORMATION a;
  BY_HANDLE_FILE_INFORMATION b;
  const int same = GetFileInformationByHandle(handle, &a) && GetFileInformationByHandle(other, &b) &&
                   a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
                   a.nFileIndexLow == b.nFileIndexLow;
  CloseHandle(other);
  return same;
}

}  // namespace

DWORD Install(const Package& package, const KitRequest& request) {
  Places places;
  Text why;
  Clear(&why);
  if (!FindPlaces(&places, &why)) {
    SayOnStderr(why.data);
    SayOnStderr(L"nothing was installed");
    return kFailed;
  }
  Swap swap = {0, 0, 0};
  // The new kit is put together beside the installed one and swapped in by
  // renames: the task finds the old kit or the new one, whole, never a mix.
  // An update cut short between its two renames left the kit installed
  // before in Quorvane.old alone: it goes back first.
  if (Exists(places.old) && !Exists(places.folder))
    MoveFileExW(places.old.data, places.folder.data, 0);
  if (!RemoveTree(places.fresh, 0) || !RemoveTree(places.old, 0)) {
    Text both = places.fresh;
    Append(&both, L"\" and \"");
    Append(&both, places.old.data);
    return Restore(places, swap, L"clear \"", both.data, L"\", left by an update cut short");
  }
  if (!StageOwned(package, places.fresh, request))
    return Restore(places, swap, L"copy the kit into \"", places.fresh.data, L"\"");

  // The task must not start while the kits are swapped.
  swap.stopped = Schtasks(L"/query /tn Quorvane", 0) == 0;
  if (swap.stopped) {
    if (Schtasks(L"/change /tn Quorvane /disable", 0) != 0)
      SayOnStderr(L"could not disable the task Quorvane; swapping the kits all the same");
    Schtasks(L"/end /tn Quorvane", 0);
  }
  if (Exists(places.folder)) {
    if (!MoveFileExW(places.folder.data, places.old.data, 0))
      return Restore(places, swap, L"move the installed kit aside, to \"", places.old.data,
                     L"\" (is a program of it running?)");
    swap.moved = 1;
  }
  if (!MoveFileExW(places.fresh.data, places.folder.data, 0))
    return Restore(places, swap, L"move the new kit into \"", places.folder.data, L"\"");
  swap.placed = 1;

  // Any user may register a task of this name first: it goes, and the kit's
  // own lets only SYSTEM and Administrators change or run it.
  Schtasks(L"/delete /tn Quorvane /f", 0);
  if (RegisterTask(places.folder) != 0)
    return Restore(places, swap, L"register the task Quorvane", L"", L"");
  // Last, as the kit installed before may need the source as it was.
  if (!RegisterSource(places.folder))
    return Restore(places, swap, L"register the event source Quorvane", L"", L"");
  RemoveTree(places.old, 0);

  Text program;
  Join(&program, places.folder, L"quorvane-kit.exe");
  Text arguments;
  Clear(&arguments);
  AppendArguments(&arguments, request);
  // AppendArguments puts a space before each.
  const DWORD status =
      Start(program.data, arguments.data + (arguments.length != 0), GetStdHandle(STD_OUTPUT_HANDLE), GetStdHandle(STD_ERROR_HANDLE), &why);
  if (why.length)
    SayOnStderr(why.data);
  return status;
}

DWORD Uninstall(const Package& package) {
  Places places;
  Text why;
  Clear(&why);
  if (!FindPlaces(&places, &why)) {
    SayOnStderr(why.data);
    return kFailed;
  }
  // Fails when there is no such task; what counts is that none is left.
  // Users may create files in System32\Tasks, so the file alone proves
  // nothing on Windows; Wine's /query finds every name, so the query alone
  // proves nothing there.
  Schtasks(L"/end /tn Quorvane", 0);
  Schtasks(L"/delete /tn Quorvane /f", 0);
  Text task;
  if (Schtasks(L"/query /tn Quorvane", 0) == 0 && InSystem32(&task, L"\\Tasks\\Quorvane") && Exists(task)) {
    SayOnStderr(L"could not remove the task Quorvane");
    return kFailed;
  }
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, kSource);
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, kSource);
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSource, 0, KEY_READ, &key) == ERROR_SUCCESS) {
    RegCloseKey(key);
    SayOnStderr(L"could not remove the event source Quorvane");
    return kFailed;
  }
  // An update cut short may have left the kit, or the new one, beside it.
  if (!RemoveTree(places.fresh, 0) || !RemoveTree(places.old, 0)) {
    Tell(L"could not remove \"", places.fresh.data, L"\" or \"", places.old.data,
         L"\", left by an update cut short");
    return kFailed;
  }
  // Run from the folder itself: its script removes it once this program,
  // which it holds, has ended.
  if (SameFile(package.handle, places.folder))
    return ERROR_SUCCESS;
  if (!RemoveTree(places.folder, 0)) {
    Tell(L"could not remove \"", places.folder.data, L"\"");
    return kFailed;
  }
  return ERROR_SUCCESS;
}
