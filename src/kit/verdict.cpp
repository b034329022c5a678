#include "kit.h"

namespace {

// The mark on the instance quorvane.exe writes: at the end of its line, where
// nothing of an instance's own name can stand, so that a script may look for it.
constexpr wchar_t kWrittenMark[] = L" (written by quorvane.exe)";
constexpr wchar_t kNextStart[] = L"takes effect when the panel next starts (/restart, or a restart of Windows)";

void AppendInstance(Text* text, const wchar_t* id, const DeviceState& state, const wchar_t* why, Value value,
                    DWORD data) {
  Append(text, id);
  Append(text, L": ");
  AppendState(text, state, why);
  Append(text, L"; ");
  AppendValue(text, value, data);
}

// "ID holds SelectiveSuspendOn 1", or what it has instead.
void AppendSubject(Text* text, const Facts& facts) {
  Append(text, facts.written.data);
  if (Holds(facts.value, facts.data, facts.asked)) {
    Append(text, L" holds SelectiveSuspendOn ");
    AppendNumber(text, facts.asked);
    return;
  }
  Append(text, L", the instance quorvane.exe writes, has ");
  AppendValue(text, facts.value, facts.data);
  Append(text, L", not ");
  AppendNumber(text, facts.asked);
}

void AppendNotWorking(Text* text, const Facts& facts) {
  const wchar_t* but = Holds(facts.value, facts.data, facts.asked) ? L" but" : L", and";
  Append(text, but);
  switch (facts.state.state) {
    case State::kDisconnected:
      Append(text, L" is not connected: the touch panel in use keeps its own setting (see the deployment guide: "
                   L"stale instances)");
      return;
    case State::kProblem:
      Append(text, L" is not working: ");
      AppendState(text, facts.state, facts.why.data);
      return;
    default:
      Append(text, L" Windows could not tell its state: ");
      Append(text, facts.why.data);
      return;
  }
}

Judgement NoPanel(const Facts& facts, Text* text) {
  Append(text, L"not in effect - WARNING: ");
  Append(text, facts.deviceKey < 0 ? L"no touch panel: neither touch panel's device key is in the registry"
               : facts.deviceKey == 0
                   ? L"the first touch panel's device key is there with no instance that quorvane.exe can write, "
                     L"so the second is never looked at (see the deployment guide: stale instances)"
                   : L"no instance of the touch panel has a Device Parameters key that opens");
  return {Verdict::kNotInEffect, Remedy::kPerson};
}

}  // namespace

void GatherFacts(const KitPlatform& platform, DWORD asked, int say, Facts* facts) {
  facts->asked = asked;
  facts->deviceKey = platform.deviceKey(platform.context);
  wchar_t path[kPathCapacity];
  Clear(&facts->written);
  facts->found = platform.writtenPath(platform.context, path) && InstanceOfPath(path, &facts->written);
  platform.readRecord(platform.context, &facts->record);
  facts->others = 0;
  Clear(&facts->other);
  int writtenRead = 0;
  Text id;
  Text why;
  Text line;
  for (int device = 0; device < 2; ++device) {
    for (DWORD index = 0; platform.instance(platform.context, device, index, &id); ++index) {
      Clear(&why);
      const DeviceState state = platform.state(platform.context, id.data, &why);
      DWORD data = 0;
      const Value value = platform.value(platform.context, id.data, &data);
      const int written = facts->found && SameText(id.data, facts->written.data);
      if (say) {
        Clear(&line);
        AppendInstance(&line, id.data, state, why.data, value, data);
        if (written)
          Append(&line, kWrittenMark);
        platform.note(platform.context, line.data);
      }
      if (written) {
        facts->state = state;
        facts->why = why;
        facts->value = value;
        facts->data = data;
        writtenRead = 1;
      } else if (InTree(state) && !Holds(value, data, asked) && !facts->others++) {
        AppendInstance(&facts->other, id.data, state, why.data, value, data);
      }
    }
  }
  // The instance may have appeared after the enumeration above.
  if (facts->found && !writtenRead) {
    Clear(&facts->why);
    facts->state = platform.state(platform.context, facts->written.data, &facts->why);
    facts->data = 0;
    facts->value = platform.value(platform.context, facts->written.data, &facts->data);
  }
}

Judgement Judge(const Facts& facts, Text* text) {
  if (!facts.found)
    return NoPanel(facts, text);
  // Writing helps none of these: the panel in use is another, or Windows
  // does not run this one.
  if (facts.state.state != State::kWorking) {
    Append(text, L"not in effect - WARNING: ");
    AppendSubject(text, facts);
    AppendNotWorking(text, facts);
    return {Verdict::kNotInEffect, Remedy::kPerson};
  }
  if (facts.others) {
    Append(text, L"not in effect - WARNING: another instance of a touch panel is connected without the setting: ");
    Append(text, facts.other.data);
    if (facts.others > 1) {
      Append(text, L" (and ");
      AppendNumber(text, facts.others - 1);
      Append(text, L" more)");
    }
    return {Verdict::kNotInEffect, Remedy::kPerson};
  }
  if (!Holds(facts.value, facts.data, facts.asked)) {
    Append(text, L"not in effect - WARNING: ");
    AppendSubject(text, facts);
    return {Verdict::kNotInEffect, Remedy::kFixable};
  }
  const Record& record = facts.record;
  const int kept = record.kept && record.value == facts.asked && SameText(record.instance.data, facts.written.data);
  if (kept && !record.pending) {
    Append(text, L"in effect: ");
    AppendSubject(text, facts);
    Append(text, L", is working and has started since the kit set it");
    return {Verdict::kInEffect, Remedy::kNothing};
  }
  Append(text, L"pending: ");
  AppendSubject(text, facts);
  if (!kept) {
    // Set by another program, or before the kit kept its record: when is
    // not known, so the panel may not have started since.
    Append(text, L", set when the kit did not see it; ");
    Append(text, kNextStart);
    return {Verdict::kPending, Remedy::kFixable};
  }
  if (record.deferred) {
    Append(text, record.deferred == kRestartPutOff ? L"; restart deferred until Windows restarts (3010)"
                                                   : L"; the kit's restart of it failed");
    Append(text, L": takes effect when Windows restarts");
    return {Verdict::kPending, Remedy::kPerson};
  }
  Append(text, L"; ");
  Append(text, kNextStart);
  return {Verdict::kPending, Remedy::kFixable};
}
