#ifndef QUORVANE_KIT_H
#define QUORVANE_KIT_H

#include <windows.h>

#include "guard.h"
#include "selective_suspend.h"
#include "text.h"

// Where the instance IDs of the device keys begin.
inline constexpr wchar_t kEnumKey[] = L"SYSTEM\\CurrentControlSet\\Enum\\";

// What a run is asked to do: apply.cmd's arguments, or the deployed choice.
struct KitRequest {
  int enable;       // -enable: write 1, else 0
  int restart;      // /restart: restart the instance written when the setting waits for its next start
  int removeStale;  // /remove-stale: first remove the stale instances that quorvane.exe would write
};

// What Windows says of a device instance.
enum class State { kWorking, kProblem, kDisconnected, kUnknown };
struct DeviceState {
  State state;
  DWORD problem;  // the CM_PROB_ number, with kProblem
};
// Present: in the device tree, working or not. The one answer to "is this
// instance there?", for the state, the census, removal and /status alike.
inline int InTree(const DeviceState& state) {
  return state.state == State::kWorking || state.state == State::kProblem;
}

// What an instance's Device Parameters key holds as SelectiveSuspendOn.
enum class Value { kDword, kAbsent, kWrongType, kUnreadable };
inline int Holds(Value value, DWORD data, DWORD asked) {
  return value == Value::kDword && data == asked;
}
// kPresent: a removal found the device in the device tree, and left it.
// kDoneRebootNeeded, of a restart: Windows put it off until it restarts.
enum class Change { kDone, kDoneRebootNeeded, kFailed, kPresent };

// What the kit itself saw of the setting, kept where only administrators
// can change it. The instance and value it last left survive restarts;
// pending does not: it lives only until Windows next starts in full, as the
// panel does, so that a full boot ends it and a Fast Startup does not.
struct Record {
  int kept;        // instance and value hold what the kit last left
  Text instance;   // its instance ID
  DWORD value;
  int pending;     // the kit changed the value since Windows started and has not seen the panel start since
  int deferred;    // and no restart is tried before Windows restarts: kRestartPutOff or kRestartFailed
};
constexpr int kRestartPutOff = 1;  // Windows put off the restart the kit asked for until it restarts
constexpr int kRestartFailed = 2;  // the restart the kit asked for failed

// Everything a run asks of the machine, so that its decisions can be tried
// against a fake. Each call that can fail says why in *why.
struct KitPlatform {
  void* context;
  // quorvane.exe's work, in this process: its exit status; why, a warning
  // when it wrote although the guard's name was taken (by no copy of ours).
  DWORD (*runSwitch)(void* context, int enable, Text* why);
  // The device key quorvane.exe searches (0 or 1), or -1 when neither opens.
  int (*deviceKey)(void* context);
  // The Device Parameters path quorvane.exe writes, by its own search; 0 if none.
  int (*writtenPath)(void* context, wchar_t* path);
  // Instance index of device key device, as an instance ID; 0 past the last.
  int (*instance)(void* context, int device, DWORD index, Text* id);
  DeviceState (*state)(void* context, const wchar_t* id, Text* why);  // why: for kUnknown
  Value (*value)(void* context, const wchar_t* id, DWORD* data);       // SelectiveSuspendOn of id's Device Parameters
  // Removes the instance and its children, unless it is in the device tree
  // when checked with the device in hand (kPresent).
  Change (*remove)(void* context, const wchar_t* id, Text* why);
  // Restarts the instance and waits a few seconds for it to start or fail.
  Change (*restart)(void* context, const wchar_t* id, Text* why);
  void (*readRecord)(void* context, Record* record);
  int (*writeRecord)(void* context, const Record& record, Text* why);
  // A line of its own: a removal, before the run's line; /status's lines.
  void (*note)(void* context, const wchar_t* line);
  // Keeps other runs of the kit out until this one has logged; waits a
  // bounded time for one that holds it. 0 when it gave up and went on.
  int (*lock)(void* context);
};

constexpr DWORD kStatusUsage = ERROR_INVALID_PARAMETER;               // 87
constexpr DWORD kStatusRebootNeeded = ERROR_SUCCESS_REBOOT_REQUIRED;  // 3010
constexpr DWORD kStatusElevationRequired = 740;  // ERROR_ELEVATION_REQUIRED, which MinGW's headers lack

// Whether the panel runs with the setting, by one rule for the run's line
// and /status's verdict.
enum class Verdict { kInEffect, kPending, kNotInEffect };
// What a remediation can do about it.
enum class Remedy { kNothing, kFixable, kPerson };

// What a verdict is judged from.
struct Facts {
  DWORD asked;
  int deviceKey;     // as KitPlatform::deviceKey
  int found;         // written: the instance quorvane.exe writes
  Text written;
  DeviceState state;  // the instance written's
  Text why;          // with State::kUnknown
  Value value;
  DWORD data;
  Record record;
  DWORD others;  // connected instances of either panel, but the one written, without the value
  Text other;    // the first of them, as /status names an instance
};

struct Judgement {
  Verdict verdict;
  Remedy remedy;
};

// Reads the facts through the platform. With say, also notes one line per
// instance of both panels, in quorvane.exe's search order, the written one marked.
void GatherFacts(const KitPlatform& platform, DWORD asked, int say, Facts* facts);
// The verdict, and its text ("in effect: ...", "pending: ...", "not in
// effect - WARNING: ...") appended to text.
Judgement Judge(const Facts& facts, Text* text);

// The event: its type and ID, and the outcome in insertion strings of its
// own, after the whole line, for tools that read events as data.
struct KitEvent {
  WORD type;  // EVENTLOG_INFORMATION_TYPE, _WARNING_TYPE or _ERROR_TYPE
  DWORD id;   // 100 written, 101 not written, 102 guard taken, 103 anything else
  Verdict outcome;  // when written
  Text status;
  Text verdict;  // "in effect", "pending", "not in effect", or "none" when nothing was written
  Text instance;
  Text value;
  Text state;
};
void ClearEvent(KitEvent* event, WORD type, DWORD id, DWORD status);

// Reads the arguments after element 0 into *request. Returns 0, or the index
// of the first argument that is not one of the kit's (an empty one included).
int ParseKitArguments(int argc, const wchar_t* const* argv, KitRequest* request);
// " -enable /restart /remove-stale", each only when asked.
void AppendArguments(Text* text, const KitRequest& request);

// "working", "problem 22 (disabled)", "disconnected", "unknown: WHY": how the log and /status name a state.
void AppendState(Text* text, const DeviceState& state, const wchar_t* why);

// "SelectiveSuspendOn 1", "... absent", "... of the wrong type", "...
// unreadable": how the log and /status name what a Device Parameters key holds.
void AppendValue(Text* text, Value value, DWORD data);

// The instance ID inside a Device Parameters path under HKEY_LOCAL_MACHINE.
int InstanceOfPath(const wchar_t* path, Text* id);

// One run, alone: stale instances, quorvane.exe's work, what the kit saw
// of it, the device's state, restart. Leaves the run's line (without its
// time) in *line and the event to write in *event, and returns the exit
// status.
DWORD RunKit(const KitRequest& request, const KitPlatform& platform, Text* line, KitEvent* event);

// A line could not be logged: the event says so and becomes a warning.
void NoteNotLogged(Text* line, KitEvent* event, const wchar_t* why);

#endif
