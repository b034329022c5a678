#ifndef QUORVANE_KIT_STATUS_H
#define QUORVANE_KIT_STATUS_H

#include "kit.h"

// quorvane-kit.exe /status: whether the setting is in effect on the panel in
// use, read-only. Says, through platform.note, what it compares with
// ("compared with SelectiveSuspendOn 1: " and whence), one line per instance
// of both panels in the order quorvane.exe searches them, then the verdict,
// and for one not in effect whether a remediation can fix it here ("- fixable
// here") or it needs a person ("- needs a person"). Asks the platform for
// nothing but the search, the instances, their states and values, and the
// kit's record. Returns 0 in effect, else 1.
DWORD ReportStatus(DWORD asked, const wchar_t* whence, const KitPlatform& platform);

// quorvane-kit.exe /remediate: acts only where it helps. In effect: nothing.
// Where a person must act (no panel, not connected, a problem, another
// panel without the setting, a restart Windows put off): nothing, and 1.
// Otherwise it runs as deployed, restarting the panel when the setting waits
// for its next start: 0 when that left it in effect, or waiting only for a
// reboot Windows asked for (then "reboot needed"); else 1, or the run's
// failed status. Leaves its one line in *said; *ran says whether it ran,
// and then *line and *event are the run's, to log.
DWORD Remediate(const KitRequest& deployed, const KitPlatform& platform, Text* said, int* ran, Text* line,
                KitEvent* event);

#endif
