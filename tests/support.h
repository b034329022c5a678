// Black-box helpers: start the real executables under Wine and read the
// registry independently of the code under test.
#ifndef QUORVANE_TESTS_SUPPORT_H
#define QUORVANE_TESTS_SUPPORT_H

#include <gtest/gtest.h>
#include <windows.h>

#include <map>
#include <string>
#include <vector>

#define ENUM_USB L"SYSTEM\\CurrentControlSet\\Enum\\USB"
#define DEVICE_KEY_1 ENUM_USB L"\\VID_04F3&PID_0026&MI_01"
#define DEVICE_KEY_2 ENUM_USB L"\\VID_0EEF&PID_C069"
#define DEVICE_PARAMETERS L"\\Device Parameters"

extern const wchar_t kValueName[];
extern const wchar_t kGuardName[];

// Everything a key grants to Everyone when a test restricts it. WRITE_DAC
// stays so that the clean-up can always open the key up again.
constexpr ACCESS_MASK kKeepForCleanup = WRITE_DAC | READ_CONTROL | DELETE;

// Path of a program built beside quorvane.exe, as a Windows path.
std::wstring ProgramPath(const wchar_t* fileName);

// Starts program with exactly commandLine and returns its exit status, or
// kTimedOut after the limit (the process is then terminated).
constexpr DWORD kTimedOut = 0xDEADBEEF;
DWORD RunProgram(const std::wstring& program, const std::wstring& commandLine, DWORD limitMs = 30000);
// Like RunProgram, and sets *imageBase to where the loader placed the program's
// image, read before the program runs (0 if it cannot be read).
DWORD RunProgramReadingBase(const std::wstring& program, const std::wstring& commandLine, ULONGLONG* imageBase);
// quorvane.exe with exactly commandLine (element 0 included).
DWORD RunQuorvane(const std::wstring& commandLine);
// count copies, started together and then let go at once; their statuses.
std::vector<DWORD> RunQuorvaneCopies(const std::wstring& commandLine, int count);

// Registry under HKEY_LOCAL_MACHINE; each helper fails the current test on error.
void CreateKey(const std::wstring& path);
void SetValue(const std::wstring& path, const wchar_t* name, DWORD type, const void* data, DWORD size);
void SetDword(const std::wstring& path, const wchar_t* name, DWORD data);
// Replaces the key's DACL with one entry granting Everyone exactly allowed.
void RestrictKey(const std::wstring& path, ACCESS_MASK allowed);
// Deletes the tree even where tests restricted access inside it.
void RemoveTree(const std::wstring& path);

struct StoredValue {
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
  bool operator==(const StoredValue& other) const { return type == other.type && data == other.data; }
};
StoredValue Dword(DWORD data);
std::wstring Describe(const StoredValue& value);

// Every key (entry "path\") and value (entry "path\name") below root, with its
// type and data; an unreadable key is recorded as such.
using Snapshot = std::map<std::wstring, StoredValue>;
Snapshot TakeSnapshot(const std::wstring& root = ENUM_USB);
// The entries where got differs from expected, one per line, for failure messages.
std::wstring DescribeDifferences(const Snapshot& expected, const Snapshot& got);
// Entry name for a value, as TakeSnapshot records it.
std::wstring ValueEntry(const std::wstring& keyPath);

// A key to create for a case, and what Everyone may do with it (0: as created).
struct LayoutKey {
  std::wstring path;
  ACCESS_MASK allowed = 0;
};

// Names parameterised tests after their case.
struct CaseName {
  template <typename Info>
  std::string operator()(const Info& info) const {
    return info.param.name;
  }
};

// Starts and ends every test with neither device key present.
class RegistryTest : public testing::Test {
 protected:
  void SetUp() override { RemoveDeviceKeys(); }
  void TearDown() override { RemoveDeviceKeys(); }
  static void RemoveDeviceKeys();
  // Creates every key, then applies the restrictions in order.
  static void Build(const std::vector<LayoutKey>& keys);
  // Checks the status, and that the device trees equal before except for
  // SelectiveSuspendOn set to value under writtenKey (nothing changed if empty).
  static void ExpectOutcome(const Snapshot& before, DWORD status, DWORD expectedStatus,
                            const std::wstring& writtenKey = L"", DWORD value = 0);
};

// A registry layout, and what quorvane.exe -enable must make of it.
struct LayoutCase {
  const char* name;
  std::vector<LayoutKey> keys;
  DWORD status;
  std::wstring written;  // the parameter key that gets the value; empty: none
};

class LayoutTest : public RegistryTest, public testing::WithParamInterface<LayoutCase> {};

#endif
