#include "kit.h"

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
      switch (platform.presence(platform.context, id.data, &why)) {
        case Presence::kConnected:
          ++census->connected;
          break;
        case Presence::kDisconnected:
          ++census->disconnected;
          break;
        case Presence::kUnknown:
          if (!census->unknown++)
            census->why = why;
          break;
      }
    }
  }
}

// Removes one instance and notes it; returns 1 when it is gone.
int RemoveInstance(const KitPlatform& platform, const wchar_t* id) {
  Text why;
  Clear(&why);
  const Change change = platform.remove(platform.context, id, &why);
  Text note;
  Clear(&note);
  Append(&note, L"stale instance ");
  Append(&note, id);
  if (change == Change::kFailed) {
    Append(&note, L" not removed - WARNING: ");
    Append(&note, why.data);
  } else {
    Append(&note, L" removed");
    if (change == Change::kDoneRebootNeeded)
      Append(&note, L", a reboot is needed to finish");
  }
  platform.note(platform.context, note.data);
  return change != Change::kFailed;
}

// Removes the disconnected instances of both panels, but only while one is
// connected: with none connected, a panel plugged in late cannot be told
// from a stale one. Returns 1 when all went as asked.
int RemoveStale(const KitPlatform& platform, Text* line) {
  Census census = {};
  CountInstances(platform, &census);
  if (!census.connected) {
    if (census.unknown) {
      Append(line, L"; stale instances not checked - WARNING: presence unknown: ");
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
  DWORD removed = 0;
  DWORD kept = 0;
  Text id;
  Text why;
  for (int device = 0; device < 2; ++device) {
    for (DWORD index = 0; platform.instance(platform.context, device, index, &id);) {
      Clear(&why);
      if (platform.presence(platform.context, id.data, &why) != Presence::kDisconnected) {
        ++index;
        continue;
      }
      if (!RemoveInstance(platform, id.data)) {
        ++kept;
        ++index;
        continue;
      }
      ++removed;
      // The next instance now stands at this index, unless this one stayed.
      Text next;
      if (platform.instance(platform.context, device, index, &next) && SameText(next.data, id.data))
        ++index;
    }
  }
  Append(line, L"; stale removed ");
  AppendNumber(line, removed);
  Append(line, L", not removed ");
  AppendNumber(line, kept);
  if (census.unknown) {
    Append(line, L", presence unknown ");
    AppendNumber(line, census.unknown);
    Append(line, L" - WARNING: ");
    Append(line, census.why.data);
  }
  return !kept && !census.unknown;
}

// The instance ID inside a Device Parameters path under HKEY_LOCAL_MACHINE.
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

Presence DescribePresence(const KitPlatform& platform, const wchar_t* id, Text* line) {
  Text why;
  Clear(&why);
  const Presence presence = platform.presence(platform.context, id, &why);
  switch (presence) {
    case Presence::kConnected:
      Append(line, L"; present yes");
      break;
    case Presence::kDisconnected:
      Append(line,
             L"; present no - WARNING: this instance is not connected, so the touch panel in use keeps its "
             L"former setting (see the deployment guide: stale instances)");
      break;
    case Presence::kUnknown:
      Append(line, L"; presence unknown - WARNING: ");
      Append(line, why.data);
      break;
  }
  return presence;
}

// Returns the exit status: 3010 when Windows needs a reboot to finish.
DWORD RestartInstance(const KitPlatform& platform, const wchar_t* id, int* warning, Text* line) {
  Text why;
  Clear(&why);
  switch (platform.restart(platform.context, id, &why)) {
    case Change::kDone:
      Append(line, L"; restart done");
      return kStatusWritten;
    case Change::kDoneRebootNeeded:
      Append(line, L"; restart done, a reboot is needed to finish (3010)");
      return kStatusRebootNeeded;
    case Change::kFailed:
      break;
  }
  Append(line, L"; restart failed - WARNING: ");
  Append(line, why.data);
  Append(line, kRestartAdvice);
  *warning = 1;
  return kStatusWritten;
}

void AppendStatus(const KitPlatform& platform, DWORD status, const Text& why, Text* line) {
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

  Text removal;
  Clear(&removal);
  int warning = request.removeStale && !RemoveStale(platform, &removal);

  Text why;
  Clear(&why);
  const DWORD status = platform.runSwitch(platform.context, request.enable, &why);
  AppendStatus(platform, status, why, line);

  DWORD exitStatus = status;
  wchar_t path[kPathCapacity];
  Text id;
  if (status != kStatusWritten) {
    Append(line, L"; key none");
  } else if (!platform.writtenPath(platform.context, path) || !InstanceOfPath(path, &id)) {
    // The registry changed between the write and this search.
    Append(line, L"; key unknown - WARNING: the instance written was not found again");
    if (request.restart) {
      Append(line, L"; restart not done");
      Append(line, kRestartAdvice);
    }
    warning = 1;
  } else {
    Append(line, L"; key HKEY_LOCAL_MACHINE\\");
    Append(line, path);
    const Presence presence = DescribePresence(platform, id.data, line);
    warning |= presence != Presence::kConnected;
    // A device that is not there does not start: restarting it would only
    // fail, or ask for a reboot that changes nothing.
    if (request.restart && presence == Presence::kDisconnected) {
      Append(line, L"; restart not done");
      Append(line, kRestartAdvice);
    } else if (request.restart) {
      exitStatus = RestartInstance(platform, id.data, &warning, line);
    }
  }
  Append(line, removal.data);
  *event = EventFor(status, warning);
  return exitStatus;
}

void NoteNotLogged(Text* line, KitEvent* event, const wchar_t* why) {
  Append(line, L"; not logged - WARNING: ");
  Append(line, why);
  if (event->type == EVENTLOG_INFORMATION_TYPE)
    event->type = EVENTLOG_WARNING_TYPE;
}
