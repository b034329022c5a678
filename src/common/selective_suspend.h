#ifndef QUORVANE_SELECTIVE_SUSPEND_H
#define QUORVANE_SELECTIVE_SUSPEND_H

#include <windows.h>

// Capacity in wide characters, terminator included, of the instance-name
// buffer and of the composed "Device Parameters" path.
constexpr DWORD kPathCapacity = 260;

// The touch panels' device keys under HKEY_LOCAL_MACHINE, in order of
// preference: only the first that opens for reading is searched.
inline constexpr const wchar_t* kDeviceKeys[] = {
    L"SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_04F3&PID_0026&MI_01",
    L"SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_0EEF&PID_C069",
};

// The device key that is searched, or null when neither opens for reading.
const wchar_t* ChooseDeviceKey();

// Leaves in DeviceParametersPath (kPathCapacity characters, caller-owned) the
// path under HKEY_LOCAL_MACHINE of the touch panel's first instance whose
// "Device Parameters" key opens for reading. Returns 1 when found, else 0.
int FindDeviceParametersPath(wchar_t* DeviceParametersPath);

// Sets SelectiveSuspendOn (REG_DWORD) to value in the touch panel's
// "Device Parameters" key. Returns 1 when the value was set, else 0.
int WriteSelectiveSuspend(DWORD value);

#endif
