#ifndef QUORVANE_GUARD_H
#define QUORVANE_GUARD_H

#include <windows.h>

// The name of quorvane.exe's guard, a mutex that only tells copies apart.
inline constexpr wchar_t kGuardName[] = L"Quorvane Execute Mutex Name";

// quorvane.exe's exit statuses.
constexpr int kStatusWritten = 0;
constexpr int kStatusNotWritten = 1;
constexpr int kStatusGuardTaken = 2;

// 1 when an element of argv after the first is exactly "-enable", else 0.
int HasEnableSwitch(int argc, const wchar_t* const* argv);

// quorvane.exe's whole work: takes the guard "Quorvane Execute Mutex Name",
// and unless another copy holds it writes SelectiveSuspendOn as argv asks.
// Returns the exit status. The companion calls it too, so that its runs and
// quorvane.exe's keep each other out through the same guard.
int RunSingleInstance(int argc, const wchar_t* const* argv);

#endif
