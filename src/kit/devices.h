#ifndef QUORVANE_KIT_DEVICES_H
#define QUORVANE_KIT_DEVICES_H

#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>

#include "kit.h"

// The device functions, loaded at run time from System32 alone: a
// cfgmgr32.dll, setupapi.dll or newdev.dll beside the program, in a folder a
// user may change, must never load into a process that runs as SYSTEM.
struct Devices {
  HMODULE cfgmgr32;
  DWORD cfgmgr32Error;  // why it did not load
  HMODULE setupapi;
  DWORD setupapiError;
  HMODULE newdev;
  DWORD newdevError;
  CONFIGRET(WINAPI* locate)(PDEVINST, DEVINSTID_W, ULONG);
  CONFIGRET(WINAPI* status)(PULONG, PULONG, DEVINST, ULONG);
  HDEVINFO(WINAPI* createList)(const GUID*, HWND);
  BOOL(WINAPI* open)(HDEVINFO, PCWSTR, HWND, DWORD, PSP_DEVINFO_DATA);
  BOOL(WINAPI* setParams)(HDEVINFO, PSP_DEVINFO_DATA, PSP_CLASSINSTALL_HEADER, DWORD);
  BOOL(WINAPI* call)(DI_FUNCTION, HDEVINFO, PSP_DEVINFO_DATA);
  BOOL(WINAPI* getParams)(HDEVINFO, PSP_DEVINFO_DATA, PSP_DEVINSTALL_PARAMS_W);
  BOOL(WINAPI* destroyList)(HDEVINFO);
  BOOL(WINAPI* uninstall)(HWND, HDEVINFO, PSP_DEVINFO_DATA, DWORD, PBOOL);
};

// Restricts every later load of this process, on demand by Windows' own
// functions too (the security functions load ntmarta.dll), to System32.
// Returns 0 where Windows cannot (7 without KB2533623).
int RestrictLibrarySearch();
// restricted: what RestrictLibrarySearch returned; without it, the DLLs are
// loaded by their full path, their dependencies from System32 first.
void LoadDevices(Devices* devices, int restricted);
void FreeDevices(Devices* devices);

DeviceState StateOfDevice(const Devices& devices, const wchar_t* id, Text* why);
// Removes the instance with its children, unless it is in the device tree
// when checked with the device in hand.
Change RemoveDevice(const Devices& devices, const wchar_t* id, Text* why);
Change RestartDevice(const Devices& devices, const wchar_t* id, Text* why);

#endif
