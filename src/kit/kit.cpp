#include "kit.h"

#include <cfg.h>

namespace {

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

// Undoing stale instances takes one removal each; more than this many ahead
// of the connected panel is no stale leftover.
constexpr int kMostRemovals = 64;

struct Census {
  DWORD connected;
  DWORD disconnected;
  DWORD unknown;
  Text why;  // the first unknown's reason
};

void CountInstances(const KitPlatform& platform, int device, Census* census) {
  Text id;
  Text why;
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

// Removes what keeps quorvane.exe from writing the connected panel: while
// its own search finds a disconnected instance, that instance goes. Only
// while an instance of the key searched is connected: with none, a panel
// plugged in late cannot be told from a stale one. Instances behind the
// connected one, and the other panel's, decide nothing and stay, so that a
// second panel that starts late is never removed for it. Returns 1 when all
// went as asked, and sets *reboot when Windows needs one to finish.
int RemoveStale(const KitPlatform& platform, Text* line, int* reboot) {
  const int device = platform.deviceKey(platform.context);
  Census census = {};
  if (device >= 0)
    CountInstances(platform, device, &census);
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
  wchar_t path[kPathCapacity];
  Text id;
  Text why;
  for (int tries = 0; tries < kMostRemovals; ++tries) {
    if (!platform.writtenPath(platform.context, path) || !InstanceOfPath(path, &id))
      break;
    Clear(&why);
    // The census may be old by now: the removal checks again, with the device in hand.
    if (platform.state(platform.context, id.data, &why).state != State::kDisconnected ||
        !RemoveInstance(platform, id.data, &removals))
      break;
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

// What the run says after the device's state: the restart, the record.
struct Notes {
  Text said;
  int warning;
  int reboot;
};

// Restarts the instance written where the setting waits for its next start,
// or a problem keeps it from working; never one that runs with the setting
// or is not there, nor one whose restart Windows has put off already. Then
// reads the facts again: only the device's own state says that it started.
void RestartIfNeeded(const KitPlatform& platform, Facts* facts, Record* record, Judgement* judgement,
                     Text* verdict, Notes* restart) {
  const int pending = judgement->verdict == Verdict::kPending;
  if (pending && record->deferred) {
    Append(&restart->said, record->deferred == kRestartPutOff
                               ? L"; restart not tried: Windows put off the last one until it restarts (3010)"
                               : L"; restart not tried: the last one failed; Windows must restart (3010)");
    restart->reboot = 1;
    return;
  }
  if (judgement->verdict == Verdict::kInEffect) {
    Append(&restart->said, L"; restart not needed");
    return;
  }
  if (!pending && facts->state.state != State::kProblem) {
    Append(&restart->said, L"; restart not done");
    return;
  }
  Text why;
  Clear(&why);
  const Change change = platform.restart(platform.context, facts->written.data, &why);
  GatherFacts(platform, facts->asked, 0, facts);
  // What the panel waits for stays pending, and no later run tries again
  // what could not be done before Windows restarts.
  if (change == Change::kFailed) {
    Append(&restart->said, L"; restart failed - WARNING: ");
    Append(&restart->said, why.data);
    record->deferred = record->pending ? kRestartFailed : 0;
    restart->warning = 1;
  } else if (change == Change::kDoneRebootNeeded) {
    Append(&restart->said, L"; restart deferred until Windows restarts (3010)");
    record->deferred = record->pending ? kRestartPutOff : 0;
    restart->reboot = 1;
  } else if (facts->state.state == State::kWorking) {
    Append(&restart->said, L"; restart done");
    record->pending = 0;
  } else {
    Append(&restart->said, facts->state.state == State::kProblem ? L"; restarted, but it did not start"
                                                                 : L"; restarted, but whether it started is not known");
  }
  Text failed;
  Clear(&failed);
  if (platform.writeRecord(platform.context, *record, &failed)) {
    facts->record = *record;
  } else {
    Append(&restart->said, L"; record not kept - WARNING: ");
    Append(&restart->said, failed.data);
    restart->warning = 1;
  }
  Clear(verdict);
  *judgement = Judge(*facts, verdict);
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
  if (Holds(value, data, asked))
    return 1;
  Append(line, L"; key unknown - WARNING: the instance found again does not hold the value written: HKEY_LOCAL_MACHINE\\");
  Append(line, path);
  Append(line, L" has ");
  AppendValue(line, value, data);
  return 0;
}

// "; status N", and for a run that wrote nothing, ERROR and why.
void AppendStatus(const KitPlatform& platform, DWORD status, const Text& why, int locked, Text* line) {
  Append(line, L"; status ");
  AppendError(line, status);
  if (status == kStatusNotWritten) {
    Append(line, L" - ERROR: not written");
    if (platform.deviceKey(platform.context) == 0)
      Append(line, L": the first touch panel's device key is there, so the second is never looked at (see the "
                   L"deployment guide: stale instances)");
  } else if (status == kStatusGuardTaken) {
    Append(line, L" - ERROR: another program holds the name Quorvane Execute Mutex Name; if this comes at every "
                 L"start, see the deployment guide (status 2)");
  } else if (status != kStatusWritten) {
    Append(line, L" - ERROR");
  }
  if (why.length) {
    Append(line, L" - WARNING: ");
    Append(line, why.data);
  }
  if (!locked)
    Append(line, L" - WARNING: another run of the kit held the log for a minute, and this run went on beside it");
}

WORD TypeFor(DWORD status, int warning) {
  if (status == kStatusWritten)
    return static_cast<WORD>(warning ? EVENTLOG_WARNING_TYPE : EVENTLOG_INFORMATION_TYPE);
  return status == kStatusGuardTaken ? EVENTLOG_WARNING_TYPE : EVENTLOG_ERROR_TYPE;
}

DWORD IdFor(DWORD status) {
  return status <= kStatusGuardTaken ? 100 + status : 103;
}

const wchar_t* VerdictWord(Verdict verdict) {
  switch (verdict) {
    case Verdict::kInEffect:
      return L"in effect";
    case Verdict::kPending:
      return L"pending";
    default:
      return L"not in effect";
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

  // What quorvane.exe's search finds before the write: whether the write
  // changes the value is known only from before and after.
  const DWORD asked = request.enable ? 1 : 0;
  wchar_t path[kPathCapacity];
  Text before;
  DWORD beforeData = 0;
  const int seen = platform.writtenPath(platform.context, path) && InstanceOfPath(path, &before) &&
                   Holds(platform.value(platform.context, before.data, &beforeData), beforeData, asked);

  Text why;
  Clear(&why);
  const DWORD status = platform.runSwitch(platform.context, request.enable, &why);
  warning |= why.length != 0;
  AppendStatus(platform, status, why, locked, line);
  ClearEvent(event, TypeFor(status, warning), IdFor(status), status);
  Text id;
  if (status != kStatusWritten) {
    Append(line, L"; key none");
    Append(line, removal.data);
    return status;
  }
  if (!FoundAgain(platform, asked, path, &id, line)) {
    Append(line, removal.data);
    event->type = EVENTLOG_WARNING_TYPE;
    return reboot ? kStatusRebootNeeded : status;
  }
  Append(line, L"; key HKEY_LOCAL_MACHINE\\");
  Append(line, path);

  // Unless the value held before and the kit's record says it set it, the
  // panel has not started with it: from now it waits for the next start.
  Record record;
  platform.readRecord(platform.context, &record);
  const int kept = seen && SameText(before.data, id.data) && record.kept && record.value == asked &&
                   SameText(record.instance.data, id.data);
  if (!kept) {
    record.kept = 1;
    record.instance = id;
    record.value = asked;
    record.pending = 1;
    record.deferred = 0;
  }
  Text failed;
  Clear(&failed);
  Notes notes = {};
  Clear(&notes.said);
  if (!platform.writeRecord(platform.context, record, &failed)) {
    Append(&notes.said, L"; record not kept - WARNING: ");
    Append(&notes.said, failed.data);
    notes.warning = 1;
  }
  Facts facts;
  GatherFacts(platform, asked, 0, &facts);
  Text verdict;
  Clear(&verdict);
  Judgement judgement = Judge(facts, &verdict);
  if (request.restart)
    RestartIfNeeded(platform, &facts, &record, &judgement, &verdict, &notes);

  Append(line, L"; device ");
  AppendState(line, facts.state, facts.why.data);
  Append(line, notes.said.data);
  Append(line, removal.data);
  Append(line, L"; ");
  Append(line, verdict.data);

  warning |= notes.warning || judgement.verdict == Verdict::kNotInEffect;
  event->type = TypeFor(status, warning);
  event->outcome = judgement.verdict;
  Clear(&event->verdict);
  Append(&event->verdict, VerdictWord(judgement.verdict));
  event->instance = id;
  AppendValue(&event->value, facts.value, facts.data);
  AppendState(&event->state, facts.state, facts.why.data);
  return reboot || notes.reboot ? kStatusRebootNeeded : status;
}

void ClearEvent(KitEvent* event, WORD type, DWORD id, DWORD status) {
  event->type = type;
  event->id = id;
  event->outcome = Verdict::kNotInEffect;
  Text* strings[] = {&event->status, &event->verdict, &event->instance, &event->value, &event->state};
  for (Text* string : strings)
    Clear(string);
  AppendError(&event->status, status);
  Append(&event->verdict, L"none");
}

void AppendArguments(Text* text, const KitRequest& request) {
  for (const Argument& argument : kArguments) {
    if (request.*(argument.flag)) {
      Append(text, L" ");
      Append(text, argument.name);
    }
  }
}

void NoteNotLogged(Text* line, KitEvent* event, const wchar_t* why) {
  Append(line, L"; not logged - WARNING: ");
  Append(line, why);
  if (event->type == EVENTLOG_INFORMATION_TYPE)
    event->type = EVENTLOG_WARNING_TYPE;
}
