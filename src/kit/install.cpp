#include "install.h"

#include "log.h"
#include "record.h"

#include <sddl.h>

const wchar_t* const kInstallFiles[kInstallFileCount] = {
    L"install.cmd", L"quorvane.exe", L"quorvane-kit.exe",  L"apply.cmd", L"uninstall.cmd",    L"undo.cmd",
    L"detect.ps1",  L"quorvane-task.xml", L"README.md", L"LICENSE",   L"docs", L"docs\\deploying.md"};

namespace {

constexpr DWORD kFailed = ERROR_INSTALL_FAILURE;  // 1603
constexpr DWORD kNotStarted = 3;  // not a status of Windows' programs: they did not start
constexpr wchar_t kSource[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Quorvane";
constexpr wchar_t kCompanion[] = L"quorvane-kit.exe";
// An earlier kit's: the task it registered ran it.
constexpr wchar_t kEarlierStartup[] = L"startup.cmd";
constexpr DWORD kDeepest = 8;  // the kit's own folders are one deep
// How long an install or uninstall waits for a run of the kit to end.
constexpr DWORD kLockWait = 60 * 1000;

// %ProgramFiles%, and in it the kit's folder, the new kit while it is put
// together, and the files it replaces while it is put in place.
struct Places {
  Text programs;
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
  Clear(&places->programs);
  Append(&places->programs, programs);
  places->folder = places->programs;
  Append(&places->folder, L"\\Quorvane");
  places->fresh = places->folder;
  Append(&places->fresh, L".new");
  places->old = places->folder;
  Append(&places->old, L".old");
  return 1;
}

void Join(Text* path, const Text& folder, const wchar_t* name) {
  *path = folder;
  Append(path, L"\\");
  Append(path, name);
}

int Exists(const Text& path) {
  return GetFileAttributesW(path.data) != INVALID_FILE_ATTRIBUTES;
}

int IsFolder(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION information;
  return GetFileInformationByHandle(handle, &information) &&
         (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

// "could not WHAT "PATH"", and why: another program's hold named as such.
void Failed(Text* why, const wchar_t* what, const wchar_t* path, DWORD error) {
  Append(why, L"could not ");
  Append(why, what);
  Append(why, L" \"");
  Append(why, path);
  Append(why, L"\"");
  if (error == ERROR_SHARING_VIOLATION)
    Append(why, L": another program holds it open (a sharing violation); close it, or restart Windows, and try again");
  else
    AppendErrorNote(why, error);
}

// Deletes what handle was opened on (with DELETE): a file, or an empty
// folder. Through the handle, so never what a name has come to lead to since.
int DeleteThrough(HANDLE handle, const wchar_t* path, Text* why) {
  FILE_BASIC_INFO basic;
  if (!GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic)) {
    Failed(why, L"read", path, GetLastError());
    return 0;
  }
  if (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) {
    // No attribute at all would leave them as they are.
    basic.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    if (!basic.FileAttributes)
      basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    if (!SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic)) {
      Failed(why, L"remove", path, GetLastError());
      return 0;
    }
  }
  FILE_DISPOSITION_INFO disposition = {TRUE};
  if (SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition))
    return 1;
  Failed(why, L"remove", path, GetLastError());
  return 0;
}

// Removes path (one of the kit's folders or files, or what an update cut
// short left) and what it holds. Each element is opened itself and judged
// first: a link is refused, never followed, and so is an element that
// anyone but the trusted accounts owns or may change. 1 when it is gone, or
// was never there; else 0 with why.
int RemoveTree(const Text& path, const Domains& domains, DWORD depth, Text* why) {
  int missing;
  HANDLE handle = OpenChecked(path.data, DELETE | FILE_LIST_DIRECTORY | READ_CONTROL | FILE_READ_ATTRIBUTES |
                                             FILE_WRITE_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, Place::kItem, domains, &missing, why);
  if (handle == INVALID_HANDLE_VALUE)
    return missing;
  int removed = 1;
  // Listed through the handle checked; listed again until it lists nothing,
  // as a listing need not show every entry while entries go.
  for (int listed = IsFolder(handle) && depth < kDeepest; removed && listed;) {
    listed = 0;
    alignas(FILE_ID_BOTH_DIR_INFO) BYTE entries[8192];
    FILE_INFO_BY_HANDLE_CLASS next = FileIdBothDirectoryRestartInfo;
    for (; removed && GetFileInformationByHandleEx(handle, next, entries, sizeof entries);
         next = FileIdBothDirectoryInfo) {
      for (const BYTE* at = entries; removed;
           at += reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(at)->NextEntryOffset) {
        const FILE_ID_BOTH_DIR_INFO& entry = *reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(at);
        wchar_t name[MAX_PATH];
        const DWORD length = entry.FileNameLength / sizeof(wchar_t);
        for (DWORD i = 0; i < length && i < MAX_PATH - 1; ++i)
          name[i] = entry.FileName[i];
        name[length < MAX_PATH ? length : MAX_PATH - 1] = L'\0';
        if (!SameText(name, L".") && !SameText(name, L"..")) {
          Text child;
          Join(&child, path, name);
          removed = RemoveTree(child, domains, depth + 1, why);
          listed = 1;
        }
        if (!entry.NextEntryOffset)
          break;
      }
    }
    if (removed && GetLastError() != ERROR_NO_MORE_FILES) {
      Failed(why, L"list", path.data, GetLastError());
      removed = 0;
    }
  }
  removed = removed && DeleteThrough(handle, path.data, why);
  CloseHandle(handle);
  return removed;
}

// Renames from to to, written through, trying again a few times while
// another program (a virus scanner, say) has one of them open for a moment.
// 1, or 0 with GetLastError().
int Rename(const Text& from, const Text& to, DWORD flags) {
  for (int tries = 1;; ++tries) {
    if (MoveFileExW(from.data, to.data, flags | MOVEFILE_WRITE_THROUGH))
      return 1;
    const DWORD error = GetLastError();
    if (tries == 5 || (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION))
      return 0;
    Sleep(200);
    SetLastError(error);
  }
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

// Waits for a process that was started, closes its handles, and reads its
// exit status: 1, or 0 when it could not be read.
int WaitForExit(const PROCESS_INFORMATION& process, DWORD* status) {
  CloseHandle(process.hThread);
  const int read = WaitForSingleObject(process.hProcess, INFINITE) == WAIT_OBJECT_0 &&
                   GetExitCodeProcess(process.hProcess, status);
  CloseHandle(process.hProcess);
  return read;
}

// Runs a program by its full path, quoted, and its arguments, from System32, output to the given handles, and
// returns its exit status, or kNotStarted with why.
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
    return kNotStarted;
  }
  DWORD status = kNotStarted;
  WaitForExit(process, &status);
  return status;
}

// schtasks.exe of System32 with arguments, its output discarded (its errors
// too, unless shown); its exit status, or kNotStarted.
DWORD Schtasks(const wchar_t* arguments, int showErrors) {
  Text program;
  if (!InSystem32(&program, L"\\schtasks.exe"))
    return kNotStarted;
  SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
  HANDLE nul = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited,
                           OPEN_EXISTING, 0, nullptr);
  if (nul == INVALID_HANDLE_VALUE)
    return kNotStarted;
  Text why;
  Clear(&why);
  const DWORD status = Start(program.data, arguments, nul, showErrors ? GetStdHandle(STD_ERROR_HANDLE) : nul, &why);
  CloseHandle(nul);
  if (why.length)
    SayOnStderr(why.data);
  return status;
}

// Flushes what handle (with write access) was opened on. A folder that its
// file system will not flush is left to the renames written through, which
// carry its entries to the disk with them.
int Flush(HANDLE handle, const wchar_t* path, Text* why) {
  if (FlushFileBuffers(handle) || IsFolder(handle))
    return 1;
  Failed(why, L"write", path, GetLastError());
  return 0;
}

// Writes the file's bytes, read through the handle that was checked, to a
// new file at path, and flushes it.
int CopyFrom(HANDLE source, const wchar_t* path, SECURITY_ATTRIBUTES* security, Text* why) {
  LARGE_INTEGER start;
  start.QuadPart = 0;
  if (!SetFilePointerEx(source, start, nullptr, FILE_BEGIN)) {
    Failed(why, L"read the package's copy of", path, GetLastError());
    return 0;
  }
  HANDLE target = CreateFileW(path, GENERIC_WRITE, 0, security, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (target == INVALID_HANDLE_VALUE) {
    Failed(why, L"create", path, GetLastError());
    return 0;
  }
  BYTE buffer[16384];
  DWORD read = 0;
  int copied = 1;
  while (copied && ReadFile(source, buffer, sizeof buffer, &read, nullptr) && read) {
    DWORD written = 0;
    copied = WriteFile(target, buffer, read, &written, nullptr) && written == read;
  }
  if (!copied || read != 0)
    Failed(why, L"write", path, GetLastError());
  copied = copied && read == 0 && Flush(target, path, why);
  CloseHandle(target);
  return copied;
}

// Creates a folder with the installed permissions and flushes what it holds
// once filled: FlushFolder opens it again to write.
int FlushFolder(const Text& folder, Text* why) {
  HANDLE handle = CreateFileW(folder.data, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    Failed(why, L"open", folder.data, GetLastError());
    return 0;
  }
  const int flushed = Flush(handle, folder.data, why);
  CloseHandle(handle);
  return flushed;
}

// Event Viewer reads the descriptions from quorvane-kit.exe's messages, and
// eventcreate, which marks the sources it makes (CustomSource), writes to no
// other. An earlier kit's source becomes this one; its file's path is the
// same for the kit installed before and this one.
int RegisterSource(const Text& folder) {
  HKEY key;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSource, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
      ERROR_SUCCESS)
    return 0;
  Text file;
  Join(&file, folder, kCompanion);
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

// The task from the definition at path, registered as it ships, in place
// of any task of its name: any user may register one first, and the kit's
// lets only SYSTEM and Administrators change or run it.
DWORD RegisterTask(const Text& definition) {
  Text arguments;
  Clear(&arguments);
  Append(&arguments, L"/create /tn Quorvane /xml \"");
  Append(&arguments, definition.data);
  Append(&arguments, L"\" /f");
  return Schtasks(arguments.data, 1);
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

// One install under way: what it holds, and what it has done so far, to be
// put back on a failure.
struct Installation {
  const Package* package;
  const Seam* seam;
  int step;
  Places places;
  Domains domains;
  SECURITY_ATTRIBUTES security;  // kInstalledSecurity
  HANDLE folder;   // the kit installed before, held while it changes; INVALID_HANDLE_VALUE for a first install
  Log lock;
  int locked;
  KitRequest before;  // the choice recorded before, if any
  int hadChoice;
  int recorded;
  // The package's entries in the order they are put in place: as listed (a
  // folder before what it holds), but install.cmd, and quorvane-kit.exe,
  // which the task starts, last.
  int order[kPackageFiles];
  int count;
  int placed;    // entries of order put in place (a first install: 1, the folder)
  int created;   // of them, folders made in the kit installed before
  Text why;
};

void Order(Installation* installation) {
  const Package& package = *installation->package;
  int companion = 0;
  installation->count = 0;
  for (int i = 1; i < package.count; ++i) {
    if (SameText(package.names[i], kCompanion))
      companion = i;
    else
      installation->order[installation->count++] = i;
  }
  if (companion)
    installation->order[installation->count++] = companion;
}

// The test seam's say, after each step.
int Proceed(Installation* installation) {
  ++installation->step;
  return !installation->seam || installation->seam->proceed(installation->seam->context, installation->step);
}

// Copies every file of the package but install.cmd, the first, through the
// handles that were checked, into the new folder, with the installed
// permissions, and flushes them.
int Stage(Installation* installation) {
  const Package& package = *installation->package;
  const Text& fresh = installation->places.fresh;
  Text* why = &installation->why;
  if (!CreateDirectoryW(fresh.data, &installation->security)) {
    Failed(why, L"create", fresh.data, GetLastError());
    return 0;
  }
  Text path;
  for (int i = 1; i < package.count; ++i) {
    Join(&path, fresh, package.names[i]);
    const HANDLE source = package.files[i];
    if (source == INVALID_HANDLE_VALUE) {
      Tell(L"the package has no ", package.names[i]);
      Append(why, L"the package is not whole");
      return 0;
    }
    if (IsFolder(source) ? !CreateDirectoryW(path.data, &installation->security)
                         : !CopyFrom(source, path.data, &installation->security, why)) {
      if (!why->length)
        Failed(why, L"create", path.data, GetLastError());
      return 0;
    }
  }
  for (int i = 1; i < package.count; ++i) {
    Join(&path, fresh, package.names[i]);
    if (IsFolder(package.files[i]) && !FlushFolder(path, why))
      return 0;
  }
  return FlushFolder(fresh, why);
}

// Puts entry index of the package in place in the kit installed before,
// keeping the file it replaces under a second name in Quorvane.old until
// the install ends. A rename, written through: after a power loss the file
// is the old one or the new one, whole.
int PlaceEntry(Installation* installation, int index) {
  const Places& places = installation->places;
  const wchar_t* name = installation->package->names[index];
  Text* why = &installation->why;
  Text target;
  Join(&target, places.folder, name);
  if (IsFolder(installation->package->files[index])) {
    int missing;
    HANDLE folder = OpenChecked(target.data, READ_CONTROL | WRITE_DAC | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, Place::kItem, installation->domains, &missing,
                                why);
    if (folder != INVALID_HANDLE_VALUE) {
      const int protectedFolder = ProtectHandle(folder, kInstalledSecurity, target.data, why);
      CloseHandle(folder);
      return protectedFolder;
    }
    if (!missing)
      return 0;
    if (!CreateDirectoryW(target.data, &installation->security)) {
      Failed(why, L"create", target.data, GetLastError());
      return 0;
    }
    installation->created |= 1 << index;
    return 1;
  }
  Text kept;
  Join(&kept, places.old, name);
  int missing;
  // Opened to delete, so that a program holding it is named as such: a
  // rename onto a file held open fails only as access denied.
  HANDLE old = OpenChecked(target.data, DELETE | READ_CONTROL | FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, Place::kItem, installation->domains,
                           &missing, why);
  if (old == INVALID_HANDLE_VALUE && !missing)
    return 0;
  if (old != INVALID_HANDLE_VALUE) {
    CloseHandle(old);
    if (!CreateHardLinkW(kept.data, target.data, nullptr)) {
      Failed(why, L"keep the installed", target.data, GetLastError());
      return 0;
    }
  }
  Text staged;
  Join(&staged, places.fresh, name);
  if (Rename(staged, target, MOVEFILE_REPLACE_EXISTING))
    return 1;
  DWORD error = GetLastError();
  // A run started as the task came may be waiting for the lock, its image
  // open: it goes first, then the companion is put in place.
  if (SameText(name, kCompanion) && installation->locked &&
      (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION)) {
    ReleaseLog(&installation->lock);
    int busy;
    Text ignored;
    Clear(&ignored);
    installation->locked = HoldLog(&installation->lock, kLockWait, &busy, &ignored);
    if (Rename(staged, target, MOVEFILE_REPLACE_EXISTING))
      return 1;
    error = GetLastError();
  }
  Failed(why, L"replace", target.data, error);
  return 0;
}

// Puts what was placed back as it was, last placed first.
void PutBack(Installation* installation) {
  const Places& places = installation->places;
  Text target;
  Text kept;
  for (int i = installation->placed; i-- > 0;) {
    const int index = installation->order[i];
    const wchar_t* name = installation->package->names[index];
    Join(&target, places.folder, name);
    Join(&kept, places.old, name);
    if (installation->created & (1 << index))
      RemoveDirectoryW(target.data);
    else if (Exists(kept))
      Rename(kept, target, MOVEFILE_REPLACE_EXISTING);
    else if (!IsFolder(installation->package->files[index]))
      DeleteFileW(target.data);
  }
  installation->placed = 0;
}

// Puts the kit in place: a first install renames the new folder; an update
// replaces the installed files one by one, the companion last.
int Place(Installation* installation) {
  const Places& places = installation->places;
  Text* why = &installation->why;
  if (installation->folder == INVALID_HANDLE_VALUE) {
    if (!Rename(places.fresh, places.folder, 0)) {
      Failed(why, L"move the new kit to", places.folder.data, GetLastError());
      return 0;
    }
    installation->placed = 1;
    return Proceed(installation) ? 1 : -1;
  }
  const Package& package = *installation->package;
  Text kept = places.old;
  for (int i = 0; i <= package.count; ++i) {
    if (i && (i == package.count || !IsFolder(package.files[i])))
      continue;
    if (i)
      Join(&kept, places.old, package.names[i]);
    if (!CreateDirectoryW(kept.data, &installation->security)) {
      Failed(why, L"create", kept.data, GetLastError());
      return 0;
    }
  }
  // An earlier kit's folder took Program Files' permissions, which let users read.
  if (!ProtectHandle(installation->folder, kInstalledSecurity, places.folder.data, why))
    return 0;
  for (int i = 0; i < installation->count; ++i) {
    if (!PlaceEntry(installation, installation->order[i]))
      return 0;
    installation->placed = i + 1;
    if (!Proceed(installation))
      return -1;
  }
  return 1;
}

// The kit and the choice installed before go back in place, and what the
// install left is removed. Returns 1603.
DWORD Restore(Installation* installation) {
  SayOnStderr(installation->why.data);
  const Places& places = installation->places;
  if (installation->folder != INVALID_HANDLE_VALUE) {
    PutBack(installation);
  } else if (installation->placed) {
    Text ignored;
    Clear(&ignored);
    RemoveTree(places.folder, installation->domains, 0, &ignored);
  }
  if (installation->recorded) {
    Text ignored;
    Clear(&ignored);
    if (installation->hadChoice)
      WriteDeployed(installation->before, &ignored);
    else
      ForgetDeployed();
  }
  Text why;
  Clear(&why);
  if (!RemoveTree(places.fresh, installation->domains, 0, &why) ||
      !RemoveTree(places.old, installation->domains, 0, &why))
    SayOnStderr(why.data);
  SayOnStderr(L"the kit installed before, if any, is left as it was");
  return kFailed;
}

// Checks Program Files as the package's own folder is checked, clears what
// an update cut short left, and holds the kit installed before.
int Prepare(Installation* installation) {
  const Places& places = installation->places;
  Text* why = &installation->why;
  Package programs;
  if (!OpenPackage(places.programs.data, nullptr, 0, &programs, why))
    return 0;
  ClosePackage(&programs);
  if (!RemoveTree(places.fresh, installation->domains, 0, why) ||
      !RemoveTree(places.old, installation->domains, 0, why))
    return 0;
  int missing;
  installation->folder =
      OpenChecked(places.folder.data, READ_CONTROL | WRITE_DAC | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                  FILE_SHARE_READ | FILE_SHARE_WRITE, Place::kItem, installation->domains, &missing, why);
  return installation->folder != INVALID_HANDLE_VALUE || missing;
}

// The steps that change the machine. 1 done; 0 failed, with why; -1 the seam stopped it.
int Steps(Installation* installation, const KitRequest& request) {
  const Places& places = installation->places;
  Text* why = &installation->why;
  if (!Stage(installation))
    return 0;
  if (!Proceed(installation))
    return -1;
  if (!RegisterSource(places.folder)) {
    Append(why, L"could not register the event source Quorvane");
    return 0;
  }
  if (!Proceed(installation))
    return -1;
  Text ignored;
  Clear(&ignored);
  installation->hadChoice = ReadDeployed(&installation->before, &ignored);
  installation->recorded = 1;
  if (!WriteDeployed(request, why))
    return 0;
  if (!Proceed(installation))
    return -1;
  // No run starts its work while the kits change: one under way ends first.
  int busy;
  installation->locked = HoldLog(&installation->lock, kLockWait, &busy, &ignored);
  if (busy) {
    Append(why, L"a run of the kit did not end within a minute: try again");
    return 0;
  }
  if (const int placed = Place(installation); placed != 1)
    return placed;
  // From the copy just put in place, which only SYSTEM and Administrators
  // may change, held while Task Scheduler reads it: the bytes checked in
  // the package, even where the package is on a share its server may change.
  Text definition;
  Join(&definition, places.folder, L"quorvane-task.xml");
  int missing;
  HANDLE held = OpenChecked(definition.data, GENERIC_READ, FILE_SHARE_READ, Place::kItem, installation->domains,
                            &missing, why);
  if (held == INVALID_HANDLE_VALUE)
    return 0;
  const DWORD registered = RegisterTask(definition);
  CloseHandle(held);
  if (registered != 0) {
    Append(why, L"could not register the task Quorvane");
    return 0;
  }
  if (!Proceed(installation))
    return -1;
  ReleaseLog(&installation->lock);
  installation->locked = 0;
  Text startup;
  Join(&startup, places.folder, kEarlierStartup);
  if (!RemoveTree(startup, installation->domains, 0, why) || !RemoveTree(places.old, installation->domains, 0, why) ||
      !RemoveTree(places.fresh, installation->domains, 0, why)) {
    // The new kit is in place and its task registered: what stays is said, and left.
    SayOnStderr(why->data);
    Clear(why);
  }
  return Proceed(installation) ? 1 : -1;
}

}  // namespace

DWORD Install(const Package& package, const KitRequest& request, const Seam* seam) {
  Installation installation = {};
  installation.package = &package;
  installation.seam = seam;
  installation.folder = INVALID_HANDLE_VALUE;
  installation.lock = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
  installation.security = {sizeof installation.security, nullptr, FALSE};
  Clear(&installation.why);
  if (!FindPlaces(&installation.places, &installation.why) ||
      !ConvertStringSecurityDescriptorToSecurityDescriptorW(
          kInstalledSecurity, SDDL_REVISION_1, &installation.security.lpSecurityDescriptor, nullptr)) {
    SayOnStderr(installation.why.data);
    SayOnStderr(L"nothing was installed");
    return kFailed;
  }
  ReadDomains(&installation.domains);
  Order(&installation);
  DWORD status = kFailed;
  int done = 0;
  if (!Prepare(&installation)) {
    SayOnStderr(installation.why.data);
    SayOnStderr(L"nothing was installed");
  } else {
    done = Steps(&installation, request);
    if (done == 0)
      status = Restore(&installation);
    else if (done < 0)
      status = kInstallStopped;
  }
  if (installation.folder != INVALID_HANDLE_VALUE)
    CloseHandle(installation.folder);
  ReleaseLog(&installation.lock);
  LocalFree(installation.security.lpSecurityDescriptor);
  if (done != 1)
    return status;

  // The task's own run, as it will run at every boot.
  Text program;
  Join(&program, installation.places.folder, kCompanion);
  Text why;
  Clear(&why);
  status = Start(program.data, L"/deployed", GetStdHandle(STD_OUTPUT_HANDLE), GetStdHandle(STD_ERROR_HANDLE), &why);
  if (why.length)
    SayOnStderr(why.data);
  return status;
}

namespace {

// What the kit keeps beside its task, once no run holds the lock: 0, or 1603 having said what stays.
DWORD RemoveAll(const Package& package, const Places& places) {
  if (!RemoveRecord()) {
    SayOnStderr(L"could not remove HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane");
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
  Domains domains;
  ReadDomains(&domains);
  Text why;
  Clear(&why);
  // An update cut short may have left the new kit, or the files it
  // replaced, beside it. Run from the folder itself, its script removes
  // it once this program, which it holds, has ended.
  if (!RemoveTree(places.fresh, domains, 0, &why) || !RemoveTree(places.old, domains, 0, &why) ||
      (!SameFile(package.handle, places.folder) && !RemoveTree(places.folder, domains, 0, &why))) {
    SayOnStderr(why.data);
    return kFailed;
  }
  return ERROR_SUCCESS;
}

}  // namespace

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
  Schtasks(L"/delete /tn Quorvane /f", 0);
  Text task;
  if (Schtasks(L"/query /tn Quorvane", 0) == 0 && InSystem32(&task, L"\\Tasks\\Quorvane") && Exists(task)) {
    SayOnStderr(L"could not remove the task Quorvane");
    return kFailed;
  }
  // A run under way ends before its kit goes.
  Log lock;
  int busy;
  HoldLog(&lock, kLockWait, &busy, &why);
  const DWORD status = RemoveAll(package, places);
  ReleaseLog(&lock);
  return status;
}
