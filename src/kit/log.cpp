#include "log.h"

#include "security.h"

#include <aclapi.h>
#include <sddl.h>

namespace {

// SYSTEM and Administrators alone may open the folder and the log, so that
// no user can read the log, hold it open or replace it. Protected: the Logs
// folder's grant of reading to Users is not inherited.
constexpr wchar_t kFolderSecurity[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
constexpr wchar_t kFileSecurity[] = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)";

// The log line in UTF-8 with its time and line end: at most three bytes a
// UTF-16 unit, plus the time.
constexpr int kLineBytes = 3 * kTextCapacity + 32;

void AppendPadded(Text* text, DWORD number, DWORD width) {
  wchar_t digits[5] = L"0000";
  for (DWORD i = width; i-- > 0; number /= 10)
    digits[i] = static_cast<wchar_t>(L'0' + number % 10);
  digits[width] = L'\0';
  Append(text, digits);
}

void AppendTime(Text* text) {
  SYSTEMTIME now;
  GetSystemTime(&now);
  const struct {
    WORD value;
    DWORD width;
    const wchar_t* after;
  } parts[] = {{now.wYear, 4, L"-"},  {now.wMonth, 2, L"-"},  {now.wDay, 2, L"T"},
               {now.wHour, 2, L":"}, {now.wMinute, 2, L":"}, {now.wSecond, 2, L"Z"}};
  for (const auto& part : parts) {
    AppendPadded(text, part.value, part.width);
    Append(text, part.after);
  }
}

void Failed(const wchar_t* what, const wchar_t* path, DWORD error, Text* why) {
  Append(why, what);
  Append(why, L" ");
  Append(why, path);
  AppendErrorNote(why, error);
}

// Writes text and a line end in UTF-8, whole or not at all; 1 when written.
int WriteLineTo(HANDLE handle, const wchar_t* text) {
  char bytes[kLineBytes];
  // Room is kept for the line end, which takes the converted terminator's place.
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes, kLineBytes - 1, nullptr, nullptr);
  if (size <= 0)
    return 0;
  bytes[size - 1] = '\r';
  bytes[size] = '\n';
  DWORD done = 0;
  return WriteFile(handle, bytes, size + 1, &done, nullptr) && done == static_cast<DWORD>(size + 1);
}

// Refuses a reparse point, a file of more than one name (a line appended
// to it would land in the file of its other name), and an owner that is not
// trusted, saying why.
int Trusted(HANDLE handle, const wchar_t* path, Text* why) {
  BY_HANDLE_FILE_INFORMATION information;
  if (!GetFileInformationByHandle(handle, &information)) {
    Failed(L"could not read", path, GetLastError(), why);
    return 0;
  }
  if (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    Append(why, path);
    Append(why, L" is a reparse point, not written through");
    return 0;
  }
  if (information.nNumberOfLinks > 1) {
    Append(why, path);
    Append(why, L" has ");
    AppendNumber(why, information.nNumberOfLinks);
    Append(why, L" names (hard links), and another could be anywhere: not written to");
    return 0;
  }
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD error = GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                                      nullptr, nullptr, &descriptor);
  if (error != ERROR_SUCCESS) {
    Failed(L"could not read the owner of", path, error, why);
    return 0;
  }
  Domains domains;
  ReadDomains(&domains);
  const int trusted = TrustedOwner(owner, domains, path, why);
  LocalFree(descriptor);
  return trusted;
}

// Creates the folder with the log's own security, or opens the one there,
// and gives it that security again through the handle held, which keeps the
// folder in place (an earlier kit's folder let Users read).
HANDLE OpenFolder(const wchar_t* folder, Text* why) {
  SECURITY_ATTRIBUTES security = {sizeof security, nullptr, FALSE};
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kFolderSecurity, SDDL_REVISION_1,
                                                            &security.lpSecurityDescriptor, nullptr)) {
    Failed(L"could not make the security of", folder, GetLastError(), why);
    return INVALID_HANDLE_VALUE;
  }
  const int made = CreateDirectoryW(folder, &security) || GetLastError() == ERROR_ALREADY_EXISTS;
  LocalFree(security.lpSecurityDescriptor);
  if (!made) {
    Failed(L"could not create", folder, GetLastError(), why);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE handle = CreateFileW(folder, READ_CONTROL | WRITE_DAC | FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    Failed(L"could not open", folder, GetLastError(), why);
    return handle;
  }
  if (Trusted(handle, folder, why) && ProtectHandle(handle, kFolderSecurity, folder, why))
    return handle;
  CloseHandle(handle);
  return INVALID_HANDLE_VALUE;
}

}  // namespace

int HoldLog(Log* log, DWORD wait, int* busy, Text* why) {
  *log = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
  *busy = 0;
  wchar_t windows[MAX_PATH];
  const UINT length = GetSystemWindowsDirectoryW(windows, MAX_PATH);
  if (!length || length >= MAX_PATH) {
    Failed(L"could not find", L"the Windows folder", GetLastError(), why);
    return 0;
  }
  Text path;
  Clear(&path);
  Append(&path, windows);
  Append(&path, L"\\Logs\\Quorvane");
  log->folder = OpenFolder(path.data, why);
  if (log->folder == INVALID_HANDLE_VALUE)
    return 0;
  Append(&path, L"\\quorvane.log");
  const DWORD start = GetTickCount();
  for (;;) {
    // No write sharing: the next run's open fails until this one closes it.
    log->file = CreateFileW(path.data, FILE_APPEND_DATA | READ_CONTROL | WRITE_DAC | FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ,
                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (log->file != INVALID_HANDLE_VALUE)
      break;
    const DWORD error = GetLastError();
    if (error != ERROR_SHARING_VIOLATION || GetTickCount() - start >= wait) {
      *busy = error == ERROR_SHARING_VIOLATION;
      Failed(L"could not open", path.data, error, why);
      ReleaseLog(log);
      return 0;
    }
    Sleep(100);
  }
  if (!Trusted(log->file, path.data, why) || !ProtectHandle(log->file, kFileSecurity, path.data, why)) {
    ReleaseLog(log);
    return 0;
  }
  return 1;
}

int WriteLog(const Log& log, const wchar_t* line, Text* why) {
  Text stamped;
  Clear(&stamped);
  AppendTime(&stamped);
  Append(&stamped, L"; ");
  Append(&stamped, line);
  if (WriteLineTo(log.file, stamped.data))
    return 1;
  Failed(L"could not append to", L"quorvane.log", GetLastError(), why);
  return 0;
}

void ReleaseLog(Log* log) {
  if (log->file != INVALID_HANDLE_VALUE)
    CloseHandle(log->file);
  if (log->folder != INVALID_HANDLE_VALUE)
    CloseHandle(log->folder);
  *log = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
}

int AppendToLog(const wchar_t* line, Text* why) {
  Log log;
  int busy;
  if (!HoldLog(&log, 0, &busy, why))
    return 0;
  const int written = WriteLog(log, line, why);
  ReleaseLog(&log);
  return written;
}

int ReportKitEvent(const KitEvent& event, const wchar_t* line, Text* why) {
  HANDLE source = RegisterEventSourceW(nullptr, L"Quorvane");
  if (!source) {
    Failed(L"could not open", L"the event source Quorvane", GetLastError(), why);
    return 0;
  }
  // The whole line first, as the description shows it; then the outcome
  // in fields of its own, for tools that read events as data.
  const wchar_t* strings[] = {line, event.status.data, event.verdict.data, event.instance.data, event.value.data,
                              event.state.data};
  const int reported = ReportEventW(source, event.type, 0, event.id, nullptr, sizeof strings / sizeof strings[0], 0,
                                    strings, nullptr);
  if (!reported)
    Failed(L"could not write", L"the event", GetLastError(), why);
  DeregisterEventSource(source);
  return reported;
}

void SayOnStderr(const wchar_t* text) {
  Text message;
  Clear(&message);
  Append(&message, L"quorvane-kit.exe: ");
  Append(&message, text);
  Say(STD_ERROR_HANDLE, message.data);
}

void Say(DWORD stream, const wchar_t* text) {
  HANDLE handle = GetStdHandle(stream);
  if (handle && handle != INVALID_HANDLE_VALUE)
    WriteLineTo(handle, text);
}
