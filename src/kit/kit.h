#ifndef QUORVANE_KIT_H
#define QUORVANE_KIT_H

#include <windows.h>

#include "selective_suspend.h"
#include "text.h"

// Where the instance IDs of the device keys begin.
inline constexpr wchar_t kEnumKey[] = L"SYSTEM\\CurrentControlSet\\Enum\\";

// What a run is asked to do, from apply.cmd's arguments.
struct KitRequest {
  int enable;       // -enable: quorvane.exe writes 1, else 0
  int restart;      // /restart: restart the instance written
  int removeStale;  // /remove-stale: first remove the panels' disconnected instances
};

// What Windows says of a device instance.
enum class State { kWorking, kProblem, kDisconnected, kUnknown };
struct DeviceState {
  State state;
  DWORD problem;  // the CM_PROB_ number, with kProblem
};
// Connected: in the device tree, working or not.
inline int InTree(const DeviceState& state) {
  return state.state == State::kWorking || state.state == State::kProblem;
}

// What an instance's Device Parameters key holds as SelectiveSuspendOn.
enum class Value { kDword, kAbsent, kWrongType, kUnreadable };
// kPresent: a removal found the device in the device tree, and left it.
enum class Change { kDone, kDoneRebootNeeded, kFailed, kPresent };

// Everything a run asks of the machine, so that its decisions can be tried
// against a fake. Each call that can fail says why in *why.
struct KitPlatform {
  void* context;
  // quorvane.exe's exit status, or kStatusNotStarted.
  DWORD (*runSwitch)(void* context, int enable, Text* why);
  // The device key quorvane.exe searches (0 or 1), or -1 when neither opens.
  int (*deviceKey)(void* context);
  // The Device Parameters path quorvane.exe writes, by its own search; 0 if none.
  int (*writtenPath)(void* context, wchar_t* path);
  // Instance index of device key device, as an instance ID; 0 past the last.
  int (*instance)(void* context, int device, DWORD index, Text* id);
  DeviceState (*state)(void* context, const wchar_t* id, Text* why);            // why: for kUnknown
  Value (*value)(void* context, const wchar_t* id, DWORD* data);                 // reads SelectiveSuspendOn of id's Device Parameters
  // Removes the instance and its children, unless it is in the device tree
  // when checked with the device in hand (kPresent).
  Change (*remove)(void* context, const wchar_t* id, Text* why);
  Change (*restart)(void* context, const wchar_t* id, Text* why);
  // A line of its own in the log (a removal), before the run's line.
  void (*note)(void* context, const wchar_t* line);
  // Keeps other runs of the kit out until this one has logged; waits a
  // bounded time for one that holds it. 0 when it gave up and went on.
  int (*lock)(void* context);
};

constexpr DWORD kStatusWritten = 0;
constexpr DWORD kStatusNotWritten = 1;
constexpr DWORD kStatusGuardTaken = 2;
constexpr DWORD kStatusNotStarted = 3;
constexpr DWORD kStatusUsage = ERROR_INVALID_PARAMETER;        // 87
constexpr DWORD kStatusRebootNeeded = ERROR_SUCCESS_REBOOT_REQUIRED;  // 3010
constexpr DWORD kStatusElevationRequired = 740;  // ERROR_ELEVATION_REQUIRED, which MinGW's headers lack

struct KitEvent {
  WORD type;  // EVENTLOG_INFORMATION_TYPE, _WARNING_TYPE or _ERROR_TYPE
  DWORD id;   // 100 written, 101 not written, 102 guard taken, 103 anything else
};

// Reads the arguments after element 0 into *request. Returns 0, or the index
// of the first argument that is not one of the kit's (an empty one included).
int ParseKitArguments(int argc, const wchar_t* const* argv, KitRequest* request);

// "working", "problem 22 (disabled)", "disconnected", "unknown: WHY": how the log and /status name a state.
void AppendState(Text* text, const DeviceState& state, const wchar_t* why);

// "SelectiveSuspendOn 1", "... absent", "... of the wrong type", "...
// unreadable": how the log and /status name what a Device Parameters key holds.
void AppendValue(Text* text, Value value, DWORD data);

// The instance ID inside a Device Parameters path under HKEY_LOCAL_MACHINE.
int InstanceOfPath(const wchar_t* path, Text* id);

// One run, alone: stale instances, quorvane.exe, the device's state,
// restart. Leaves the run's line (without its time) in *line and the event
// to write in *event, and returns the exit status.
DWORD RunKit(const KitRequest& request, const KitPlatform& platform, Text* line, KitEvent* event);

// A line could not be logged: the event says so and becomes a warning.
void NoteNotLogged(Text* line, KitEvent* event, const wchar_t* why);

#endif
