#include "status.h"

namespace {

// The mark on the instance quorvane.exe writes: at the end of its line, where
// nothing of an instance's own name can stand, so that a script may look for it.
constexpr wchar_t kWrittenMark[] = L" (written by quorvane.exe)";

struct Reading {
  DeviceState state;
  Text why;  // with State::kUnknown
  Value value;
  DWORD data;
};

void Read(const KitPlatform& platform, const wchar_t* id, Reading* reading) {
  Clear(&reading->why);
  reading->state = platform.state(platform.context, id, &reading->why);
  reading->data = 0;
  reading->value = platform.value(platform.context, id, &reading->data);
}

int Holds(const Reading& reading, DWORD asked) {
  return reading.value == Value::kDword && reading.data == asked;
}

void AppendInstance(Text* text, const wchar_t* id, const Reading& reading) {
  Append(text, id);
  Append(text, L": ");
  AppendState(text, reading.state, reading.why.data);
  Append(text, L"; ");
  AppendValue(text, reading.value, reading.data);
}

// Why the setting does not hold on the instance written, or nothing.
void AppendWhyNot(Text* verdict, const wchar_t* id, const Reading& reading, DWORD asked) {
  if (!Holds(reading, asked)) {
    Append(verdict, L"not in effect: ");
    Append(verdict, id);
    Append(verdict, L", the instance quorvane.exe writes, has ");
    AppendValue(verdict, reading.value, reading.data);
    Append(verdict, L", not ");
    AppendNumber(verdict, asked);
    return;
  }
  if (reading.state.state == State::kWorking)
    return;
  Append(verdict, L"not in effect: ");
  Append(verdict, id);
  Append(verdict, L" holds SelectiveSuspendOn ");
  AppendNumber(verdict, asked);
  switch (reading.state.state) {
    case State::kDisconnected:
      Append(verdict, L" but is not connected: the touch panel in use keeps its own setting (see the deployment "
                      L"guide: stale instances)");
      return;
    case State::kProblem:
      Append(verdict, L" but is not working: ");
      AppendState(verdict, reading.state, reading.why.data);
      return;
    default:
      Append(verdict, L" but Windows could not tell its state: ");
      Append(verdict, reading.why.data);
      return;
  }
}

}  // namespace

DWORD ReportStatus(int enable, const KitPlatform& platform) {
  const DWORD asked = enable ? 1 : 0;
  wchar_t path[kPathCapacity];
  Text written;
  const int found = platform.writtenPath(platform.context, path) && InstanceOfPath(path, &written);

  Reading reading;
  Reading writtenReading;
  int writtenRead = 0;
  Text other;  // a connected instance, not the one written, that lacks the value
  Clear(&other);
  Text id;
  Text line;
  for (int device = 0; device < 2; ++device) {
    for (DWORD index = 0; platform.instance(platform.context, device, index, &id); ++index) {
      Read(platform, id.data, &reading);
      Clear(&line);
      AppendInstance(&line, id.data, reading);
      if (found && SameText(id.data, written.data)) {
        Append(&line, kWrittenMark);
        writtenReading = reading;
        writtenRead = 1;
      } else if (!other.length && InTree(reading.state) && !Holds(reading, asked)) {
        AppendInstance(&other, id.data, reading);
      }
      platform.note(platform.context, line.data);
    }
  }

  Text verdict;
  Clear(&verdict);
  int inEffect = 0;
  if (!found) {
    // The first panel's key alone decides, even with none of its instances
    // left: then the second panel, connected or not, is never written.
    const int device = platform.deviceKey(platform.context);
    Append(&verdict, device < 0    ? L"not in effect: no touch panel: neither touch panel's device key is in the registry"
                     : device == 0 ? L"not in effect: the first touch panel's device key is there with no instance that "
                                     L"quorvane.exe can write, so the second is never looked at (see the deployment "
                                     L"guide: stale instances)"
                                   : L"not in effect: no instance of the touch panel has a Device Parameters key "
                                     L"that opens");
  } else {
    // The instance may have appeared after the enumeration above.
    if (!writtenRead)
      Read(platform, written.data, &writtenReading);
    AppendWhyNot(&verdict, written.data, writtenReading, asked);
    if (!verdict.length && other.length) {
      Append(&verdict, L"not in effect: another instance of a touch panel is connected without the setting: ");
      Append(&verdict, other.data);
    }
    inEffect = !verdict.length;
    if (inEffect) {
      Append(&verdict, L"in effect: ");
      Append(&verdict, written.data);
      Append(&verdict, L" holds SelectiveSuspendOn ");
      AppendNumber(&verdict, asked);
      Append(&verdict, L" and is working");
    }
  }
  platform.note(platform.context, verdict.data);
  return inEffect ? 0 : 1;
}
