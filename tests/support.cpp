#include "support.h"

#include <gtest/gtest.h>
#include <winternl.h>

const wchar_t kValueName[] = L"SelectiveSuspendOn";
const wchar_t kGuardName[] = L"Quorvane Execute Mutex Name";

namespace {

std::wstring& ProgramDirectory() {
  static std::wstring directory;
  return directory;
}

std::wstring Widen(const char* text) {
  std::wstring wide;
  for (; *text; ++text)
    wide += static_cast<wchar_t>(static_cast<unsigned char>(*text));
  return wide;
}

HKEY OpenKey(const std::wstring& path, REGSAM access) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, access, &key) != ERROR_SUCCESS)
    return nullptr;
  return key;
}

void SetDacl(HKEY key, ACCESS_MASK allowed, const std::wstring& path) {
  SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
  PSID everyone = nullptr;
  ASSERT_TRUE(AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone));
  BYTE aclBytes[256];
  auto* acl = reinterpret_cast<PACL>(aclBytes);
  SECURITY_DESCRIPTOR sd;
  const bool built = InitializeAcl(acl, sizeof aclBytes, ACL_REVISION) &&
                     AddAccessAllowedAce(acl, ACL_REVISION, allowed, everyone) &&
                     InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION) &&
                     SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE);
  FreeSid(everyone);
  ASSERT_TRUE(built);
  ASSERT_EQ(RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &sd), ERROR_SUCCESS) << "on " << path;
}

void OpenUpTree(const std::wstring& path) {
  if (HKEY key = OpenKey(path, WRITE_DAC)) {
    SetDacl(key, KEY_ALL_ACCESS, path);
    RegCloseKey(key);
  }
  HKEY key = OpenKey(path, KEY_READ);
  if (!key)
    return;
  std::vector<std::wstring> children;
  wchar_t name[256];
  for (DWORD index = 0;; ++index) {
    DWORD length = 256;
    if (RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    children.push_back(path + L"\\" + name);
  }
  RegCloseKey(key);
  for (const auto& child : children)
    OpenUpTree(child);
}

void SnapshotKey(const std::wstring& path, Snapshot* snapshot) {
  HKEY key = OpenKey(path, KEY_READ);
  if (!key) {
    (*snapshot)[path + L"\\"] = StoredValue{REG_NONE, {'?'}};  // exists, unreadable
    return;
  }
  (*snapshot)[path + L"\\"] = StoredValue{};
  std::vector<std::wstring> children;
  wchar_t name[16384];
  std::vector<BYTE> data(1 << 16);
  for (DWORD index = 0;; ++index) {
    DWORD nameLength = 16384, type = 0, size = static_cast<DWORD>(data.size());
    if (RegEnumValueW(key, index, name, &nameLength, nullptr, &type, data.data(), &size) != ERROR_SUCCESS)
      break;
    (*snapshot)[path + L"\\" + name] = StoredValue{type, {data.begin(), data.begin() + size}};
  }
  for (DWORD index = 0;; ++index) {
    DWORD nameLength = 256;
    if (RegEnumKeyExW(key, index, name, &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    children.push_back(path + L"\\" + name);
  }
  RegCloseKey(key);
  for (const auto& child : children)
    SnapshotKey(child, snapshot);
}

// Wine now and then fails a process creation with ERROR_INTERNAL_ERROR
// before the program runs at all; that says nothing about the program.
bool StartProcess(const std::wstring& program, const std::wstring& commandLine, DWORD flags,
                  PROCESS_INFORMATION* process) {
  DWORD error = 0;
  for (int attempt = 0; attempt < 3; ++attempt) {
    std::wstring line = commandLine;  // CreateProcessW may write to it
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    if (CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE, flags, nullptr, nullptr,
                       &startup, process))
      return true;
    error = GetLastError();
    if (error != ERROR_INTERNAL_ERROR)
      break;
  }
  ADD_FAILURE() << "CreateProcessW failed with " << error;
  return false;
}

// Waits for the process and returns its exit status; a process still running
// after limitMs is ended, and kTimedOut returned.
DWORD Finish(const PROCESS_INFORMATION& process, DWORD limitMs) {
  DWORD status = kTimedOut;
  if (WaitForSingleObject(process.hProcess, limitMs) == WAIT_OBJECT_0)
    GetExitCodeProcess(process.hProcess, &status);
  else
    TerminateProcess(process.hProcess, kTimedOut);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return status;
}

}  // namespace

std::wstring ProgramPath(const wchar_t* fileName) {
  return ProgramDirectory() + L"\\" + fileName;
}

DWORD RunProgram(const std::wstring& program, const std::wstring& commandLine, DWORD limitMs) {
  PROCESS_INFORMATION process = {};
  if (!StartProcess(program, commandLine, 0, &process))
    return kTimedOut;
  return Finish(process, limitMs);
}

DWORD RunProgramReadingBase(const std::wstring& program, const std::wstring& commandLine, ULONGLONG* imageBase) {
  PROCESS_INFORMATION process = {};
  PROCESS_BASIC_INFORMATION basic;
  PEB peb;
  *imageBase = 0;
  if (!StartProcess(program, commandLine, CREATE_SUSPENDED, &process))
    return kTimedOut;
  // Suspended, the process has its image mapped and has run none of it.
  if (NT_SUCCESS(NtQueryInformationProcess(process.hProcess, ProcessBasicInformation, &basic, sizeof basic, nullptr)) &&
      ReadProcessMemory(process.hProcess, basic.PebBaseAddress, &peb, sizeof peb, nullptr))
    *imageBase = reinterpret_cast<ULONGLONG>(peb.Reserved3[1]);  // ImageBaseAddress
  ResumeThread(process.hThread);
  return Finish(process, 30000);
}

DWORD RunQuorvane(const std::wstring& commandLine) {
  return RunProgram(ProgramPath(L"quorvane.exe"), commandLine);
}

std::vector<DWORD> RunQuorvaneCopies(const std::wstring& commandLine, int count) {
  const std::wstring program = ProgramPath(L"quorvane.exe");
  std::vector<PROCESS_INFORMATION> processes;
  for (int i = 0; i < count; ++i) {
    PROCESS_INFORMATION process = {};
    if (StartProcess(program, commandLine, CREATE_SUSPENDED, &process))
      processes.push_back(process);
  }
  for (auto& process : processes)
    ResumeThread(process.hThread);
  std::vector<DWORD> statuses;
  for (const auto& process : processes)
    statuses.push_back(Finish(process, 60000));
  return statuses;
}

void CreateKey(const std::wstring& path) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &key, nullptr),
            ERROR_SUCCESS)
      << "creating " << path;
  RegCloseKey(key);
}

void SetValue(const std::wstring& path, const wchar_t* name, DWORD type, const void* data, DWORD size) {
  ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, path.c_str(), name, type, data, size), ERROR_SUCCESS)
      << "setting " << name << " in " << path;
}

void SetDword(const std::wstring& path, const wchar_t* name, DWORD data) {
  SetValue(path, name, REG_DWORD, &data, sizeof data);
}

void RestrictKey(const std::wstring& path, ACCESS_MASK allowed) {
  HKEY key = OpenKey(path, WRITE_DAC);
  ASSERT_NE(key, nullptr) << "opening " << path << " to restrict it";
  SetDacl(key, allowed, path);
  RegCloseKey(key);
}

void RemoveTree(const std::wstring& path) {
  OpenUpTree(path);
  const LSTATUS status = RegDeleteTreeW(HKEY_LOCAL_MACHINE, path.c_str());
  ASSERT_TRUE(status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) << "deleting " << path << ": " << status;
}

StoredValue Dword(DWORD data) {
  const auto* bytes = reinterpret_cast<const BYTE*>(&data);
  return StoredValue{REG_DWORD, {bytes, bytes + sizeof data}};
}

std::wstring Describe(const StoredValue& value) {
  static const wchar_t kHex[] = L"0123456789abcdef";
  std::wstring text = L"type " + std::to_wstring(value.type) + L", " + std::to_wstring(value.data.size()) + L" bytes [";
  for (BYTE b : value.data) {
    text += kHex[b >> 4];
    text += kHex[b & 15];
  }
  return text + L"]";
}

Snapshot TakeSnapshot(const std::wstring& root) {
  Snapshot snapshot;
  HKEY key = OpenKey(root, 0);
  if (key) {  // an absent root is an empty snapshot
    RegCloseKey(key);
    SnapshotKey(root, &snapshot);
  }
  return snapshot;
}

std::wstring DescribeDifferences(const Snapshot& expected, const Snapshot& got) {
  std::wstring text;
  for (const auto& [entry, value] : expected) {
    auto found = got.find(entry);
    if (found == got.end())
      text += L"\n  missing " + entry + L": expected " + Describe(value);
    else if (!(found->second == value))
      text += L"\n  " + entry + L": got " + Describe(found->second) + L", expected " + Describe(value);
  }
  for (const auto& [entry, value] : got) {
    if (!expected.count(entry))
      text += L"\n  unexpected " + entry + L": " + Describe(value);
  }
  return text;
}

std::wstring ValueEntry(const std::wstring& keyPath) {
  return keyPath + L"\\" + kValueName;
}

void RegistryTest::RemoveDeviceKeys() {
  RemoveTree(DEVICE_KEY_1);
  RemoveTree(DEVICE_KEY_2);
}

void RegistryTest::Build(const std::vector<LayoutKey>& keys) {
  for (const auto& key : keys)
    CreateKey(key.path);
  for (const auto& key : keys) {
    if (key.allowed)
      RestrictKey(key.path, key.allowed);
  }
}

void RegistryTest::ExpectOutcome(const Snapshot& before, DWORD status, DWORD expectedStatus,
                                 const std::wstring& writtenKey, DWORD value) {
  EXPECT_EQ(status, expectedStatus) << "exit status";
  Snapshot expected = before;
  if (!writtenKey.empty())
    expected[ValueEntry(writtenKey)] = Dword(value);
  const Snapshot got = TakeSnapshot();
  EXPECT_TRUE(got == expected) << "registry after the run:" << DescribeDifferences(expected, got);
}

// The directory that holds the programs under test comes first on the command line.
int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (argc < 2) {
    fprintf(stderr, "usage: %s PROGRAM_DIRECTORY [gtest options]\n", argv[0]);
    return 2;
  }
  ProgramDirectory() = Widen(argv[1]);
  return RUN_ALL_TESTS();
}
