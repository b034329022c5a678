#include "kit.h"

#include <cfg.h>

namespace {

constexpr wchar_t kRestartAdvice[] = L"; restart the device or the machine for the setting to take effect";

struct Argument {
  const wchar_t* name;
  int caseSensitive;
  int KitRequest::*flag;
};

// -enable is case-sensitive, as quorvane.exe reads it: "-Enable" must not
// silently mean off.
constexpr Argument kArguments[] = {
    {L"-enable", 1, &KitRequest::enable},
    {L"/restart", 0, &KitRequest::restart},
    {L"/remove-stale", 0, &KitRequest::removeStale},
};

// The problems administrators meet, in Device Manager's words, shortened.
struct Problem {
  DWORD number;
  const wchar_t* meaning;
};
constexpr Problem kProblems[] = {
    {CM_PROB_NOT_CONFIGURED, L"not configured"},
    {CM_PROB_OUT_OF_MEMORY, L"out of memory or resources"},
    {CM_PROB_FAILED_START, L"cannot start"},
    {CM_PROB_NORMAL_CONFLICT, L"not enough free resources"},
    {CM_PROB_NEED_RESTART, L"needs the computer restarted"},
    {CM_PROB_REINSTALL, L"drivers to be reinstalled"},
    {CM_PROB_REGISTRY, L"configuration in the registry incomplete or damaged"},
    {CM_PROB_WILL_BE_REMOVED, L"being removed"},
    {CM_PROB_DISABLED, L"disabled"},
    {CM_PROB_DEVICE_NOT_THERE, L"not present or not working"},
    {CM_PROB_FAILED_INSTALL, L"drivers not installed"},
    {CM_PROB_DRIVER_FAILED_LOAD, L"driver could not be loaded"},
    {CM_PROB_FAILED_ADD, L"drivers could not be loaded"},
    {CM_PROB_FAILED_POST_START, L"stopped after it reported problems"},
    {CM_PROB_HALTED, L"shut down by an application or service"},
    {CM_PROB_PHANTOM, L"not connected"},
    {CM_PROB_HELD_FOR_EJECT, L"prepared for safe removal"},
    {CM_PROB_DRIVER_BLOCKED, L"driver blocked from loading"},
    {CM_PROB_UNSIGNED_DRIVER, L"driver not digitally signed"},
};

wchar_t Lower(wchar_t c) {
  return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

int SameArgument(const wchar_t* given, const Argument& argument) {
  const wchar_t* name = argument.name;
  for (; *given && *name; ++given, ++name) {
    if (argument.caseSensitive ? *given != *name : Lower(*given) != *name)
      return 0;
  }
  return *given == *name;
}

struct Census {
  DWORD connected;
  DWORD disconnected;
  DWORD unknown;
  Text why;  // the first unknown's reason
};

void CountInstances(const KitPlatform& platform, Census* census) {
  Text id;
  Text why;
  for (int device = 0; device < 2; ++device) {
    for (DWORD index = 0; platform.instance(platform.context, device, index, &id); ++index) {
      Clear(&why);
      const DeviceState state = platform.state(platform.context, id.data, &why);
      if (InTree(state))
        ++census->connected;
      else if (state.state == State::kDisconnected)
        ++census->disconnected;
      else if (!census->unknown++)
        census->why = why;
    }
  }
}

struct Removals {
  DWORD removed;
  DWORD failed;
  DWORD present;  // found in the device tree again when it came to removing them
  int reboot;
  Text removedIds;  // ", "-separated: an instance ID never holds a comma
  Text presentIds;
};

void AppendToList(Text* list, const wchar_t* id) {
  if (list->length)
    Append(list, L", ");
  Append(list, id);
}

// " N", and " (ID, ...)" when there are any.
void AppendCount(Text* line, DWORD count, const Text& ids) {
  Append(line, L" ");
  AppendNumber(line, count);
  if (!count)
    return;
  Append(line, L" (");
  Append(line, ids.data);
  Append(line, L")");
}

// Removes one instance and notes it; returns 1 when it is gone.
int RemoveInstance(const KitPlatform& platform, const wchar_t* id, Removals* removals) {
  Text why;
  Clear(&why);
  const Change change = platform.remove(platform.context, id, &why);
  Text note;
  Clear(&note);
  Append(&note, L"stale instance ");
  Append(&note, id);
  switch (change) {
    case Change::kFailed:
      Append(&note, L" not removed - WARNING: ");
      Append(&note, why.data);
      ++removals->failed;
      break;
    case Change::kPresent:
      Append(&note, L" kept: it is in the device tree again");
      ++removals->present;
      AppendToList(&removals->presentIds, id);
      break;
    case Change::kDone:
    case Change::kDoneRebootNeeded:
      Append(&note, L" removed");
      if (change == Change::kDoneRebootNeeded) {
        Append(&note, L", a reboot is needed to finish");
        removals->reboot = 1;
      }
      ++removals->removed;
      AppendToList(&removals->removedIds, id);
      break;
  }
  platform.note(platform.context, note.data);
  return change == Change::kDone || change == Change::kDoneRebootNeeded;
}

// Removes the disconnected instances of both panels, but only while one is
// connected: with none connected, a panel plugged in late cannot be told
// from a stale one. Returns 1 when all went as asked, and sets *reboot when
// Windows needs one to finish.
int RemoveStale(const KitPlatform& platform, Text* line, int* reboot) {
  Census census = {};
  CountInstances(platform, &census);
  if (!census.connected) {
    if (census.unknown) {
      Append(line, L"; stale instances not checked - WARNING: state unknown: ");
      Append(line, census.why.data);
      return 0;
    }
    if (!census.disconnected) {
      Append(line, L"; stale none: no touch panel instance");
      return 1;
    }
    Append(line, L"; stale instances not removed - WARNING: no touch panel is connected, so none can be told stale");
    return 0;
  }
  Removals removals = {};
  Clear(&removals.removedIds);
  Clear(&removals.presentIds);
  Text id;
  Text why;
  for (int device = 0; device < 2; ++device) {
    for (DWORD index = 0; platform.instance(platform.context, device, index, &id);) {
      Clear(&why);
      // The census may be old by now: the removal checks again, with the device in hand.
      if (platform.state(platform.context, id.data, &why).state != State::kDisconnected ||
          !RemoveInstance(platform, id.data, &removals)) {
        ++index;
        continue;
      }
      // The next instance now stands at this index, unless this one stayed.
      Text next;
      if (platform.instance(platform.context, device, index, &next) && SameText(next.data, id.data))
        ++index;
    }
  }
  Append(line, L"; stale removed");
  AppendCount(line, removals.removed, removals.removedIds);
  Append(line, L", not removed ");
  AppendNumber(line, removals.failed);
  if (removals.present) {
    Append(line, L", connected again");
    AppendCount(line, removals.present, removals.presentIds);
  }
  if (census.unknown) {
    Append(line, L", state unknown ");
    AppendNumber(line, census.unknown);
    Append(line, L" - WARNING: ");
    Append(line, census.why.data);
  }
  if (removals.reboot)
    Append(line, L"; a reboot is needed to finish the removal");
  *reboot = removals.reboot;
  return !removals.failed && !census.unknown;
}

// "; device STATE", with what it means when that is not working. Returns 1
// for a warning.
int DescribeState(const DeviceState& state, const wchar_t* why, Text* line) {
  Append(line, L"; device ");
  AppendState(line, state, why);
  switch (state.state) {
    case State::kWorking:
      return 0;
    case State::kProblem:
      Append(line,
             L" - WARNING: Windows reports a problem with this device, so the setting is not in use (see the "
             L"deployment guide: device states)");
      break;
    case State::kDisconnected:
      Append(line,
             L" - WARNING: this instance is not connected, so the touch panel in use keeps its former setting "
             L"(see the deployment guide: stale instances)");
      break;
    case State::kUnknown:
      Append(line, L" - WARNING: Windows could not tell whether this device works");
      break;
  }
  return 1;
}

// The written instance's state, after restarting it when asked. Returns 1
// for a warning, and sets *reboot when Windows needs one to finish.
int DescribeDevice(const KitPlatform& platform, int restart, const wchar_t* id, int* reboot, Text* line) {
  Text why;
  Clear(&why);
  DeviceState state = platform.state(platform.context, id, &why);
  // A device that is not there does not start: restarting it would only
  // fail, or ask for a reboot that changes nothing.
  if (!restart || state.state == State::kDisconnected) {
    const int warning = DescribeState(state, why.data, line);
    if (restart) {
      Append(line, L"; restart not done");
      Append(line, kRestartAdvice);
    }
    return warning;
  }
  Text failure;
  Clear(&failure);
  const Change change = platform.restart(platform.context, id, &failure);
  if (change == Change::kFailed) {
    DescribeState(state, why.data, line);
    Append(line, L"; restart failed - WARNING: ");
    Append(line, failure.data);
    Append(line, kRestartAdvice);
    return 1;
  }
  // Only the device's own state says that it started again.
  Clear(&why);
  state = platform.state(platform.context, id, &why);
  const int warning = DescribeState(state, why.data, line);
  if (state.state == State::kWorking)
    Append(line, L"; restart done");
  else if (state.state == State::kUnknown)
    Append(line, L"; restarted, but whether it started is not known");
  else
    Append(line, L"; restarted, but it did not start");
  if (change == Change::kDoneRebootNeeded) {
    Append(line, L", a reboot is needed to finish (3010)");
    *reboot = 1;
  }
  return warning;
}

// quorvane.exe writes one instance: a second panel of the same kind, or a
// look-alike, keeps its former setting. Returns 1 for a warning.
int CountConnected(const KitPlatform& platform, Text* line) {
  const int device = platform.deviceKey(platform.context);
  DWORD connected = 0;
  Text id;
  Text why;
  for (DWORD index = 0; device >= 0 && platform.instance(platform.context, device, index, &id); ++index) {
    Clear(&why);
    connected += InTree(platform.state(platform.context, id.data, &why));
  }
  if (connected < 2)
    return 0;
  Append(line, L"; instances connected ");
  AppendNumber(line, connected);
  Append(line,
         L" - WARNING: only the key above holds the setting, the others keep their former one (see the "
         L"deployment guide: two panels)");
  return 1;
}

// Names in *id the instance written, by quorvane.exe's own search, and
// checks that it holds what quorvane.exe was asked to write. If not, says
// what went wrong.
int FoundAgain(const KitPlatform& platform, DWORD asked, wchar_t* path, Text* id, Text* line) {
  // The registry may have changed between the write and this search.
  if (!platform.writtenPath(platform.context, path) || !InstanceOfPath(path, id)) {
    Append(line, L"; key unknown - WARNING: the instance written was not found again");
    return 0;
  }
  DWORD data = 0;
  const Value value = platform.value(platform.context, id->data, &data);
  if (value == Value::kDword && data == asked)
    return 1;
  Append(line, L"; key unknown - WARNING: the instance found again does not hold the value written: HKEY_LOCAL_MACHINE\\");
  Append(line, path);
  Append(line, L" has ");
  AppendValue(line, value, data);
  return 0;
}

void AppendStatus(const KitPlatform& platform, DWORD status, const Text& why, int locked, Text* line) {
  Append(line, L"; status ");
  AppendError(line, status);
  if (status == kStatusNotWritten && platform.deviceKey(platform.context) == 0)
    Append(line,
           L" - the first touch panel's device key is there, so the second is never looked at (see the "
           L"deployment guide: stale instances)");
  if (status == kStatusGuardTaken)
    Append(line,
           L" - another program holds the name Quorvane Execute Mutex Name; if this comes at every start, "
           L"see the deployment guide (status 2)");
  if (why.length) {
    Append(line, L" - ");
    Append(line, why.data);
  }
  if (!locked)
    Append(line, L" - WARNING: another run of the kit held the log for a minute, and this run went on beside it");
}

KitEvent EventFor(DWORD status, int warning) {
  switch (status) {
    case kStatusWritten:
      return {static_cast<WORD>(warning ? EVENTLOG_WARNING_TYPE : EVENTLOG_INFORMATION_TYPE), 100};
    case kStatusNotWritten:
      return {EVENTLOG_ERROR_TYPE, 101};
    case kStatusGuardTaken:
      return {EVENTLOG_WARNING_TYPE, 102};
    default:
      return {EVENTLOG_ERROR_TYPE, 103};
  }
}

}  // namespace

void AppendValue(Text* text, Value value, DWORD data) {
  Append(text, L"SelectiveSuspendOn ");
  switch (value) {
    case Value::kDword:
      AppendNumber(text, data);
      return;
    case Value::kAbsent:
      Append(text, L"absent");
      return;
    case Value::kWrongType:
      Append(text, L"of the wrong type");
      return;
    case Value::kUnreadable:
      Append(text, L"unreadable");
      return;
  }
}

void AppendState(Text* text, const DeviceState& state, const wchar_t* why) {
  switch (state.state) {
    case State::kWorking:
      Append(text, L"working");
      return;
    case State::kDisconnected:
      Append(text, L"disconnected");
      return;
    case State::kUnknown:
      Append(text, L"unknown: ");
      Append(text, why);
      return;
    case State::kProblem:
      break;
  }
  Append(text, L"problem ");
  AppendNumber(text, state.problem);
  for (const Problem& problem : kProblems) {
    if (problem.number == state.problem) {
      Append(text, L" (");
      Append(text, problem.meaning);
      Append(text, L")");
    }
  }
}

int InstanceOfPath(const wchar_t* path, Text* id) {
  constexpr wchar_t kSuffix[] = L"\\Device Parameters";
  constexpr DWORD kSuffixLength = sizeof kSuffix / sizeof kSuffix[0] - 1;
  if (!StartsWith(path, kEnumKey))
    return 0;
  Clear(id);
  Append(id, path + sizeof kEnumKey / sizeof kEnumKey[0] - 1);
  if (id->length <= kSuffixLength || !SameText(id->data + id->length - kSuffixLength, kSuffix))
    return 0;
  id->length -= kSuffixLength;
  id->data[id->length] = L'\0';
  return 1;
}

int ParseKitArguments(int argc, const wchar_t* const* argv, KitRequest* request) {
  *request = {};
  for (int i = 1; i < argc; ++i) {
    const Argument* match = nullptr;
    for (const Argument& argument : kArguments) {
      if (SameArgument(argv[i], argument))
        match = &argument;
    }
    if (!match)
      return i;
    request->*(match->flag) = 1;
  }
  return 0;
}

DWORD RunKit(const KitRequest& request, const KitPlatform& platform, Text* line, KitEvent* event) {
  Clear(line);
  Append(line, L"switch ");
  Append(line, request.enable ? L"-enable" : L"none");
  // Before anything is counted: another run may be restarting the panel.
  const int locked = platform.lock(platform.context);

  Text removal;
  Clear(&removal);
  int reboot = 0;
  int warning = !locked || (request.removeStale && !RemoveStale(platform, &removal, &reboot));

  Text why;
  Clear(&why);
  const DWORD status = platform.runSwitch(platform.context, request.enable, &why);
  AppendStatus(platform, status, why, locked, line);

  wchar_t path[kPathCapacity];
  Text id;
  if (status != kStatusWritten) {
    Append(line, L"; key none");
  } else if (!FoundAgain(platform, request.enable ? 1 : 0, path, &id, line)) {
    if (request.restart) {
      Append(line, L"; restart not done");
      Append(line, kRestartAdvice);
    }
    warning = 1;
  } else {
    Append(line, L"; key HKEY_LOCAL_MACHINE\\");
    Append(line, path);
    warning |= DescribeDevice(platform, request.restart, id.data, &reboot, line);
    warning |= CountConnected(platform, line);
  }
  Append(line, removal.data);
  *event = EventFor(status, warning);
  return status == kStatusWritten && reboot ? kStatusRebootNeeded : status;
}

void NoteNotLogged(Text* line, KitEvent* event, const wchar_t* why) {
  Append(line, L"; not logged - WARNING: ");
  Append(line, why);
  if (event->type == EVENTLOG_INFORMATION_TYPE)
    event->type = EVENTLOG_WARNING_TYPE;
}
