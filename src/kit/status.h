#ifndef QUORVANE_KIT_STATUS_H
#define QUORVANE_KIT_STATUS_H

#include "kit.h"

// quorvane-kit.exe /status [-enable]: whether the setting holds on the panel
// in use, read-only. Says one line per instance of both panels, in the order
// quorvane.exe searches them, then the verdict, through platform.note; asks
// the platform for nothing but the search, the instances, their states and
// their values. Returns 0 when the instance quorvane.exe writes is working,
// holds what was asked (1 with enable, else 0), and no other connected
// instance lacks it; else 1.
DWORD ReportStatus(int enable, const KitPlatform& platform);

#endif
