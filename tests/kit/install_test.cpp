// An update stopped after each of its steps, as a power loss would stop it:
// the start-up task's action still starts a whole companion, the old one or
// the new, and the next install completes. Runs the install itself, under
// Wine, against this test's own prefix:
//   install_test.exe BUILD_DIR SOURCE_DIR   (Windows paths)
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "../../src/kit/install.h"

namespace {

std::wstring gBuild;
std::wstring gSource;

const std::wstring kTop = L"C:\\quorvane-install-test";
const std::wstring kInstalled = L"C:\\Program Files\\Quorvane";

std::string Read(const std::wstring& path) {
  std::ifstream file(path.c_str(), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void Write(const std::wstring& path, const std::string& bytes) {
  std::ofstream file(path.c_str(), std::ios::binary);
  file << bytes;
}

// A package as the release unpacks, its companion and README marked with
// mark, so that two packages differ where an update shows.
std::wstring MakePackage(const std::wstring& name, const std::string& mark) {
  const std::wstring folder = kTop + L"\\" + name;
  CreateDirectoryW(kTop.c_str(), nullptr);
  CreateDirectoryW(folder.c_str(), nullptr);
  CreateDirectoryW((folder + L"\\docs").c_str(), nullptr);
  const struct {
    std::wstring from;
    const wchar_t* to;
  } files[] = {
      {gBuild + L"\\quorvane.exe", L"quorvane.exe"},
      {gSource + L"\\deploy\\install.cmd", L"install.cmd"},
      {gSource + L"\\deploy\\apply.cmd", L"apply.cmd"},
      {gSource + L"\\deploy\\uninstall.cmd", L"uninstall.cmd"},
      {gSource + L"\\deploy\\undo.cmd", L"undo.cmd"},
      {gSource + L"\\deploy\\detect.ps1", L"detect.ps1"},
      {gSource + L"\\deploy\\quorvane-task.xml", L"quorvane-task.xml"},
      {gSource + L"\\LICENSE", L"LICENSE"},
      {gSource + L"\\docs\\deploying.md", L"docs\\deploying.md"},
  };
  for (const auto& file : files)
    Write(folder + L"\\" + file.to, Read(file.from));
  // Bytes after an image's sections are no part of it: the marked companion runs alike.
  Write(folder + L"\\quorvane-kit.exe", Read(gBuild + L"\\quorvane-kit.exe") + mark);
  Write(folder + L"\\README.md", Read(gSource + L"\\README.md") + mark);
  return folder;
}

DWORD RunCommand(const std::wstring& line) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process;
  std::wstring command = line;
  if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                      &process))
    return GetLastError();
  CloseHandle(process.hThread);
  DWORD status = 1;
  WaitForSingleObject(process.hProcess, 120000);
  GetExitCodeProcess(process.hProcess, &status);
  CloseHandle(process.hProcess);
  return status;
}

struct StopAfter {
  int step;
};

int Proceed(void* context, int step) {
  return step < static_cast<StopAfter*>(context)->step;
}

// Installs from folder with the choice enable, stopped after step stop (0: not stopped).
DWORD InstallFrom(const std::wstring& folder, int enable, int stop) {
  Package package;
  Text why;
  Clear(&why);
  if (!OpenPackage(folder.c_str(), kInstallFiles, kInstallFileCount, &package, &why)) {
    ADD_FAILURE() << "the package was refused: " << std::wstring(why.data);
    return ERROR_INSTALL_FAILURE;
  }
  StopAfter after = {stop};
  const Seam seam = {Proceed, &after};
  const DWORD status = Install(package, {enable, 0, 0}, stop ? &seam : nullptr);
  ClosePackage(&package);
  return status;
}

TEST(Install, StoppedAfterEachStepLeavesAWholeKitAndTheNextCompletes) {
  HKEY key;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE,
                                           L"SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_04F3&PID_0026&MI_01\\0001\\"
                                           L"Device Parameters",
                                           0, nullptr, 0, KEY_READ, nullptr, &key, nullptr));
  RegCloseKey(key);
  const std::wstring packages[] = {MakePackage(L"a", "\nkit a\n"), MakePackage(L"b", "\nkit b\n")};
  const std::string companions[] = {Read(packages[0] + L"\\quorvane-kit.exe"),
                                    Read(packages[1] + L"\\quorvane-kit.exe")};
  ASSERT_EQ(0u, InstallFrom(packages[0], 0, 0));
  // Each update goes the other way from the one before: a to b, b to a.
  int from = 0;
  int steps = 0;
  for (int stop = 1;; ++stop) {
    SCOPED_TRACE("stopped after step " + std::to_string(stop));
    const int to = 1 - from;
    const DWORD stopped = InstallFrom(packages[to], to, stop);
    if (stopped != kInstallStopped) {
      EXPECT_EQ(0u, stopped) << "an install with no more steps to stop at";
      break;
    }
    steps = stop;
    const std::string companion = Read(kInstalled + L"\\quorvane-kit.exe");
    EXPECT_TRUE(companion == companions[from] || companion == companions[to]) << "the companion is neither kit's";
    EXPECT_EQ(0u, RunCommand(L"\"" + kInstalled + L"\\quorvane-kit.exe\" /deployed")) << "the task's action";
    ASSERT_EQ(0u, InstallFrom(packages[to], to, 0)) << "the next install";
    EXPECT_EQ(companions[to], Read(kInstalled + L"\\quorvane-kit.exe"));
    EXPECT_EQ(Read(packages[to] + L"\\README.md"), Read(kInstalled + L"\\README.md"));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((kInstalled + L".new").c_str()));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((kInstalled + L".old").c_str()));
    from = to;
  }
  // Staged, the source, the choice, each file put in place, the task, what was left cleared.
  EXPECT_EQ(5 + kInstallFileCount - 1, steps);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (argc < 3) {
    fprintf(stderr, "usage: install_test.exe BUILD_DIR SOURCE_DIR\n");
    return 2;
  }
  gBuild = argv[1];
  gSource = argv[2];
  return RUN_ALL_TESTS();
}
