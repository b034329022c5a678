#ifndef QUORVANE_SELECTIVE_SUSPEND_H
#define QUORVANE_SELECTIVE_SUSPEND_H

#include <windows.h>

// Capacity in wide characters, terminator included, of the instance-name
// buffer and of the composed "Device Parameters" path.
constexpr DWORD kPathCapacity = 260;

// Leaves in DeviceParametersPath (kPathCapacity characters, caller-owned) the
// path under HKEY_LOCAL_MACHINE of the touch panel's first instance whose
// "Device Parameters" key opens for reading. Returns 1 when found, else 0.
int FindDeviceParametersPath(wchar_t* DeviceParametersPath);

// Sets SelectiveSuspendOn (REG_DWORD) to value in the touch panel's
// "Device Parameters" key. Returns 1 when the value was set, else 0.
int WriteSelectiveSuspend(DWORD value);

#endif
