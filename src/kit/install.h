#ifndef QUORVANE_KIT_INSTALL_H
#define QUORVANE_KIT_INSTALL_H

#include "kit.h"
#include "security.h"

// What /install checks and copies from its package; install.cmd, first, is
// checked but stays in the package.
constexpr int kInstallFileCount = 12;
extern const wchar_t* const kInstallFiles[kInstallFileCount];

// The installed folder's and files' permissions: SYSTEM and Administrators
// alone, so that no other user may even open, and so hold, one of them.
inline constexpr wchar_t kInstalledSecurity[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

// Where a test may stop an install, as a power loss would: after each step,
// proceed is given the step's number (1, 2, ...) and returns 0 to stop there,
// leaving everything as it is.
struct Seam {
  int (*proceed)(void* context, int step);
  void* context;
};
constexpr DWORD kInstallStopped = 0x51;  // returned where a seam stopped the install

// Installs the kit from the checked package into %ProgramFiles%\Quorvane,
// with seam null but in tests:
//  1. %ProgramFiles% is checked as the package's folder is; leftovers of an
//     update cut short (Quorvane.new, Quorvane.old) are removed, and the
//     installed kit checked, all through handles, never through a link;
//  2. the files are copied, through the handles that were checked, into
//     Quorvane.new, with their permissions, and flushed;
//  3. the event source and the choice (request) are recorded;
//  4. holding the runs' lock, each installed file is replaced by its new
//     one, by a rename written through, quorvane-kit.exe last (a first
//     install renames the whole folder): the task starts the kit installed
//     before, whole, until the new one is;
//  5. the task is registered from the package's own definition;
//  6. the installed kit runs once as the task will, and its status is
//     returned.
// On a failure before the task is registered, the kit and the choice
// installed before are put back, and 1603.
DWORD Install(const Package& package, const KitRequest& request, const Seam* seam);

// Removes the task, the event source, the record, %ProgramFiles%\Quorvane
// and what an update cut short left beside it, once no run holds the lock.
// Run from that folder itself, it leaves the folder to its script. 0, or
// 1603 when something stays.
DWORD Uninstall(const Package& package);

#endif
