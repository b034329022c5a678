#ifndef QUORVANE_KIT_INSTALL_H
#define QUORVANE_KIT_INSTALL_H

#include "kit.h"
#include "security.h"

// Waits for a process that was started, closes its handles, and reads its
// exit status: 1, or 0 when it could not be read.
int WaitForExit(const PROCESS_INFORMATION& process, DWORD* status);

// Installs the kit from the checked package: every file it holds but the
// first (install.cmd, which stays in the package) is copied through the
// handle that was checked into %ProgramFiles%\Quorvane.new, with startup.cmd;
// the task is stopped, the kits are swapped by renames, the task is
// registered from the installed quorvane-task.xml and the event source
// Quorvane made the kit's. Then the installed kit runs once with request's
// arguments, and its status is returned. On a failure the kit installed
// before is put back, and 1603.
DWORD Install(const Package& package, const KitRequest& request);

// Removes the task, the event source, %ProgramFiles%\Quorvane and what an
// update cut short left beside it (.new, .old). Run from that folder itself,
// it leaves the folder to its script. 0, or 1603 when something stays.
DWORD Uninstall(const Package& package);

#endif
