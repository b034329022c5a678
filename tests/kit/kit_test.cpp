// The companion's decisions against a fake machine: what a run writes,
// logs and reports, which instances are stale, when a restart is tried, the
// verdict /status gives and what a remediation does, cycle after cycle.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "../../src/kit/install.h"
#include "../../src/kit/kit.h"
#include "../../src/kit/security.h"
#include "../../src/kit/status.h"

#include <sddl.h>

// Cases name only what they set of the fake machine.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

const std::wstring kPanel1 = L"USB\\VID_04F3&PID_0026&MI_01\\";
const std::wstring kPanel2 = L"USB\\VID_0EEF&PID_C069\\";
const std::wstring kKey = L"HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\";
const std::wstring kNextStart = L"takes effect when the panel next starts (/restart, or a restart of Windows)";

constexpr DeviceState kWorking = {State::kWorking, 0};
constexpr DeviceState kDisconnected = {State::kDisconnected, 0};
constexpr DeviceState kUnknownState = {State::kUnknown, 0};

struct FakeInstance {
  std::wstring id;
  DeviceState state;
  std::optional<DWORD> value;  // SelectiveSuspendOn; none: absent
  bool parameters = true;      // its Device Parameters key opens, so quorvane.exe's search may stop at it
  bool back = false;           // in the device tree again when it comes to removing it
};

struct Fake {
  std::vector<FakeInstance> devices[2];
  std::optional<int> key;  // the device key searched; by default the first with instances
  DWORD guard = kStatusWritten;  // kStatusGuardTaken: another copy holds the guard
  bool squatted = false;         // the guard's name is taken by no copy: written all the same
  bool lost = false;             // the search finds nothing once the value is written
  std::optional<DWORD> after;    // what another program writes there just after
  Change removal = Change::kDone;
  Change restart = Change::kDone;
  std::optional<DeviceState> restarted;  // the state a restart leaves
  Record record;
  bool busy = false;  // another run holds the lock
  bool locked = false;
  bool wrote = false;
  int restarts = 0;
  int removals = 0;
  std::vector<std::wstring> notes;
  std::vector<std::wstring> removed;
};

Fake& Of(void* context) {
  return *static_cast<Fake*>(context);
}

FakeInstance* Find(Fake& fake, const wchar_t* id) {
  for (auto& device : fake.devices)
    for (FakeInstance& instance : device)
      if (instance.id == id)
        return &instance;
  return nullptr;
}

int KeyOf(const Fake& fake) {
  return fake.key.value_or(!fake.devices[0].empty() ? 0 : !fake.devices[1].empty() ? 1 : -1);
}

// quorvane.exe's search: the first instance of the key searched whose Device Parameters opens.
FakeInstance* Search(Fake& fake) {
  if (KeyOf(fake) < 0 || (fake.lost && fake.wrote))
    return nullptr;
  for (FakeInstance& instance : fake.devices[KeyOf(fake)])
    if (instance.parameters)
      return &instance;
  return nullptr;
}

const KitPlatform kFakePlatform = {
    nullptr,
    [](void* c, int enable, Text* why) -> DWORD {
      Fake& fake = Of(c);
      EXPECT_TRUE(fake.locked) << "ran before taking the lock";
      if (fake.guard != kStatusWritten)
        return fake.guard;
      if (fake.squatted)
        Append(why, L"squatted");
      FakeInstance* found = Search(fake);
      if (!found)
        return kStatusNotWritten;
      found->value = static_cast<DWORD>(enable);
      fake.wrote = true;
      if (fake.after)
        found->value = fake.after;
      return kStatusWritten;
    },
    [](void* c) { return KeyOf(Of(c)); },
    [](void* c, wchar_t* path) {
      const FakeInstance* found = Search(Of(c));
      if (!found)
        return 0;
      wcscpy(path, (L"SYSTEM\\CurrentControlSet\\Enum\\" + found->id + L"\\Device Parameters").c_str());
      return 1;
    },
    [](void* c, int device, DWORD index, Text* id) {
      if (index >= Of(c).devices[device].size())
        return 0;
      Clear(id);
      Append(id, Of(c).devices[device][index].id.c_str());
      return 1;
    },
    [](void* c, const wchar_t* id, Text* why) {
      const FakeInstance* instance = Find(Of(c), id);
      const DeviceState state = instance ? instance->state : kDisconnected;
      if (state.state == State::kUnknown)
        Append(why, L"CR 0x13");
      return state;
    },
    [](void* c, const wchar_t* id, DWORD* data) {
      const FakeInstance* instance = Find(Of(c), id);
      if (!instance || !instance->value)
        return Value::kAbsent;
      *data = *instance->value;
      return Value::kDword;
    },
    [](void* c, const wchar_t* id, Text* why) {
      Fake& fake = Of(c);
      ++fake.removals;
      FakeInstance* instance = Find(fake, id);
      if (instance->back) {
        instance->state = kWorking;
        return Change::kPresent;
      }
      if (fake.removal == Change::kFailed) {
        Append(why, L"denied");
        return fake.removal;
      }
      fake.removed.push_back(id);
      for (auto& device : fake.devices)
        for (auto i = device.begin(); i != device.end(); ++i)
          if (i->id == id) {
            device.erase(i);
            break;
          }
      return fake.removal;
    },
    [](void* c, const wchar_t* id, Text* why) {
      Fake& fake = Of(c);
      ++fake.restarts;
      if (fake.restart == Change::kFailed)
        Append(why, L"SetupDiCallClassInstaller failed (error 5)");
      else if (fake.restarted)
        Find(fake, id)->state = *fake.restarted;
      return fake.restart;
    },
    [](void* c, Record* record) { *record = Of(c).record; },
    [](void* c, const Record& record, Text*) {
      Of(c).record = record;
      return 1;
    },
    [](void* c, const wchar_t* line) { Of(c).notes.push_back(line); },
    [](void* c) {
      Of(c).locked = true;
      return Of(c).busy ? 0 : 1;
    },
};

KitPlatform On(Fake* fake) {
  KitPlatform platform = kFakePlatform;
  platform.context = fake;
  return platform;
}

// What the kit records when it has seen the panel start with value on id.
Record Kept(const std::wstring& id, DWORD value, bool pending = false, int deferred = 0) {
  Record record = {};
  record.kept = 1;
  Append(&record.instance, id.c_str());
  record.value = value;
  record.pending = pending;
  record.deferred = deferred;
  return record;
}

// A fake with what a case sets: the instances, and its other fields.
Fake With(std::vector<FakeInstance> first, std::vector<FakeInstance> second, void (*more)(Fake*) = nullptr) {
  Fake fake;
  fake.record = {};
  fake.devices[0] = std::move(first);
  fake.devices[1] = std::move(second);
  if (more)
    more(&fake);
  return fake;
}

// /status's verdict on the fake, without what it can do about it.
std::wstring StatusVerdict(Fake* fake, DWORD asked, DWORD* status) {
  fake->notes.clear();
  *status = ReportStatus(asked, L"as asked", On(fake));
  std::wstring verdict = fake->notes.back();
  for (const wchar_t* remedy : {L" - fixable here", L" - needs a person"}) {
    const std::wstring suffix = remedy;
    if (verdict.size() > suffix.size() && verdict.compare(verdict.size() - suffix.size(), suffix.size(), suffix) == 0)
      verdict.resize(verdict.size() - suffix.size());
  }
  return verdict;
}

struct Case {
  const char* name;
  std::vector<const wchar_t*> arguments;
  Fake fake;
  std::wstring line;  // after "switch ...; status N"
  std::vector<std::wstring> notes;
  WORD type;
  DWORD exitStatus;
  const wchar_t* verdict;  // the event's verdict field
  int restarts = 0;        // restarts asked for
};

TEST(Kit, RunsDecideLineEventAndStatus) {
  const std::wstring a = kPanel1 + L"6&1a&0&0001", b = kPanel1 + L"6&1a&0&0002", c = kPanel2 + L"5&2f&0&3";
  const std::wstring hostile = kPanel2 + L"0\"&echo pwned>x&\"!x^y (1)";
  const FakeInstance connectedA{a, kWorking}, staleA{a, kDisconnected}, connectedB{b, kWorking},
      staleB{b, kDisconnected}, connectedC{c, kWorking}, unknownA{a, kUnknownState},
      disabledA{a, {State::kProblem, 22}}, failingA{a, {State::kProblem, 43}}, disabledB{b, {State::kProblem, 22}},
      backA{a, kDisconnected, std::nullopt, true, true};
  const std::wstring at = L"; key " + kKey;
  const std::wstring atA = at + a + L"\\Device Parameters", atB = at + b + L"\\Device Parameters";
  const std::wstring pendingA0 = L"; pending: " + a + L" holds SelectiveSuspendOn 0; " + kNextStart;
  const std::wstring pendingA1 = L"; pending: " + a + L" holds SelectiveSuspendOn 1; " + kNextStart;
  const std::wstring pendingB0 = L"; pending: " + b + L" holds SelectiveSuspendOn 0; " + kNextStart;
  const std::wstring inEffectA0 =
      L"; in effect: " + a + L" holds SelectiveSuspendOn 0, is working and has started since the kit set it";
  const std::wstring notInEffect = L"; not in effect - WARNING: ";
  const std::wstring staleText =
      L" holds SelectiveSuspendOn 0 but is not connected: the touch panel in use keeps its own setting (see the "
      L"deployment guide: stale instances)";
  const std::vector<Case> cases = {
      {"written for the first time: pending", {}, With({connectedA}, {}), atA + L"; device working" + pendingA0, {},
       EVENTLOG_INFORMATION_TYPE, 0, L"pending"},
      {"unchanged since the kit set it: in effect", {},
       With({{a, kWorking, 0}}, {}, [](Fake* f) { f->record = Kept(f->devices[0][0].id, 0); }),
       atA + L"; device working" + inEffectA0, {}, EVENTLOG_INFORMATION_TYPE, 0, L"in effect"},
      {"the value held, but not by the kit's record: pending", {L"-enable"},
       With({{a, kWorking, 1}}, {}, [](Fake* f) { f->record = Kept(f->devices[0][0].id, 0); }),
       atA + L"; device working" + pendingA1, {}, EVENTLOG_INFORMATION_TYPE, 0, L"pending"},
      {"changed by an earlier run, not started since: still pending", {},
       With({{a, kWorking, 0}}, {}, [](Fake* f) { f->record = Kept(f->devices[0][0].id, 0, true); }),
       atA + L"; device working" + pendingA0, {}, EVENTLOG_INFORMATION_TYPE, 0, L"pending"},
      {"written to a stale instance", {}, With({staleA, connectedB}, {}), atA + L"; device disconnected" +
       notInEffect + a + staleText, {}, EVENTLOG_WARNING_TYPE, 0, L"not in effect"},
      {"state unknown", {}, With({unknownA}, {}),
       atA + L"; device unknown: CR 0x13" + notInEffect + a +
           L" holds SelectiveSuspendOn 0 but Windows could not tell its state: CR 0x13",
       {}, EVENTLOG_WARNING_TYPE, 0, L"not in effect"},
      {"disabled", {}, With({disabledA}, {}),
       atA + L"; device problem 22 (disabled)" + notInEffect + a +
           L" holds SelectiveSuspendOn 0 but is not working: problem 22 (disabled)",
       {}, EVENTLOG_WARNING_TYPE, 0, L"not in effect"},
      {"a second panel of the same kind, connected without the value", {L"-enable"}, With({connectedA, disabledB}, {}),
       atA + L"; device working" + notInEffect +
           L"another instance of a touch panel is connected without the setting: " + b +
           L": problem 22 (disabled); SelectiveSuspendOn absent",
       {}, EVENTLOG_WARNING_TYPE, 0, L"not in effect"},
      {"a panel of the other kind, connected without the value", {}, With({connectedA}, {{c, kWorking, 1}}),
       atA + L"; device working" + notInEffect +
           L"another instance of a touch panel is connected without the setting: " + c +
           L": working; SelectiveSuspendOn 1",
       {}, EVENTLOG_WARNING_TYPE, 0, L"not in effect"},
      {"a panel of the other kind that holds it too", {}, With({connectedA}, {{c, kWorking, 0}}),
       atA + L"; device working" + pendingA0, {}, EVENTLOG_INFORMATION_TYPE, 0, L"pending"},
      {"stale removed first", {L"/remove-stale"}, With({staleA, connectedB}, {}),
       atB + L"; device working; stale removed 1 (" + a + L"), not removed 0" + pendingB0,
       {L"stale instance " + a + L" removed"}, EVENTLOG_INFORMATION_TYPE, 0, L"pending"},
      {"a stale instance behind the connected one decides nothing: kept", {L"/remove-stale"},
       With({connectedA, staleB}, {{c, kDisconnected}}),
       atA + L"; device working; stale removed 0, not removed 0" + pendingA0, {}, EVENTLOG_INFORMATION_TYPE, 0,
       L"pending"},
      {"a panel with a problem is connected: stale ones before it go", {L"/remove-stale"},
       With({staleA, disabledB}, {}),
       atB + L"; device problem 22 (disabled); stale removed 1 (" + a + L"), not removed 0" + notInEffect + b +
           L" holds SelectiveSuspendOn 0 but is not working: problem 22 (disabled)",
       {L"stale instance " + a + L" removed"}, EVENTLOG_WARNING_TYPE, 0, L"not in effect"},
      {"a removal needs a reboot", {L"/remove-stale"},
       With({staleA, connectedB}, {}, [](Fake* f) { f->removal = Change::kDoneRebootNeeded; }),
       atB + L"; device working; stale removed 1 (" + a + L"), not removed 0; a reboot is needed to finish the removal" +
           pendingB0,
       {L"stale instance " + a + L" removed, a reboot is needed to finish"}, EVENTLOG_INFORMATION_TYPE,
       kStatusRebootNeeded, L"pending"},
      {"plugged back in before its removal: kept", {L"/remove-stale"}, With({backA, connectedB}, {}),
       atA + L"; device working; stale removed 0, not removed 0, connected again 1 (" + a + L")" + notInEffect +
           L"another instance of a touch panel is connected without the setting: " + b +
           L": working; SelectiveSuspendOn absent",
       {L"stale instance " + a + L" kept: it is in the device tree again"}, EVENTLOG_WARNING_TYPE, 0,
       L"not in effect"},
      {"none connected: nothing removed", {L"/remove-stale"}, With({staleA, staleB}, {connectedC}),
       atA + L"; device disconnected; stale instances not removed - WARNING: no touch panel is connected, so none "
             L"can be told stale" + notInEffect + a + staleText,
       {}, EVENTLOG_WARNING_TYPE, 0, L"not in effect"},
      {"state unknown: nothing removed", {L"/remove-stale"}, With({unknownA}, {}),
       atA + L"; device unknown: CR 0x13; stale instances not checked - WARNING: state unknown: CR 0x13" + notInEffect +
           a + L" holds SelectiveSuspendOn 0 but Windows could not tell its state: CR 0x13",
       {}, EVENTLOG_WARNING_TYPE, 0, L"not in effect"},
      {"a removal fails", {L"/remove-stale"},
       With({staleA, connectedB}, {}, [](Fake* f) { f->removal = Change::kFailed; }),
       atA + L"; device disconnected; stale removed 0, not removed 1" + notInEffect + a + staleText,
       {L"stale instance " + a + L" not removed - WARNING: denied"}, EVENTLOG_WARNING_TYPE, 0, L"not in effect"},
      {"a hostile name, logged as it stands", {L"/remove-stale"}, With({}, {{hostile, kDisconnected}, connectedC}),
       at + c + L"\\Device Parameters; device working; stale removed 1 (" + hostile + L"), not removed 0; pending: " +
           c + L" holds SelectiveSuspendOn 0; " + kNextStart,
       {L"stale instance " + hostile + L" removed"}, EVENTLOG_INFORMATION_TYPE, 0, L"pending"},
      {"restarted, then in effect", {L"/restart"}, With({connectedA}, {}),
       atA + L"; device working; restart done" + inEffectA0, {}, EVENTLOG_INFORMATION_TYPE, 0, L"in effect", 1},
      {"in effect already: not restarted", {L"/restart"},
       With({{a, kWorking, 0}}, {}, [](Fake* f) { f->record = Kept(f->devices[0][0].id, 0); }),
       atA + L"; device working; restart not needed" + inEffectA0, {}, EVENTLOG_INFORMATION_TYPE, 0, L"in effect"},
      {"a restart Windows put off: deferred, 3010, still pending", {L"/restart"},
       With({connectedA}, {}, [](Fake* f) { f->restart = Change::kDoneRebootNeeded; }),
       atA + L"; device working; restart deferred until Windows restarts (3010); pending: " + a +
           L" holds SelectiveSuspendOn 0; restart deferred until Windows restarts (3010): takes effect when Windows "
           L"restarts",
       {}, EVENTLOG_INFORMATION_TYPE, kStatusRebootNeeded, L"pending", 1},
      {"put off before: not tried again", {L"/restart"},
       With({{a, kWorking, 0}}, {}, [](Fake* f) { f->record = Kept(f->devices[0][0].id, 0, true, kRestartPutOff); }),
       atA + L"; device working; restart not tried: Windows put off the last one until it restarts (3010); pending: " +
           a + L" holds SelectiveSuspendOn 0; restart deferred until Windows restarts (3010): takes effect when "
                L"Windows restarts",
       {}, EVENTLOG_INFORMATION_TYPE, kStatusRebootNeeded, L"pending"},
      {"a restart that brings a failed device back", {L"/restart"},
       With({{a, {State::kProblem, 10}}}, {}, [](Fake* f) { f->restarted = kWorking; }),
       atA + L"; device working; restart done" + inEffectA0, {}, EVENTLOG_INFORMATION_TYPE, 0, L"in effect", 1},
      {"still failing after the restart", {L"/restart"}, With({failingA}, {}),
       atA + L"; device problem 43 (stopped after it reported problems); restarted, but it did not start" +
           notInEffect + a + L" holds SelectiveSuspendOn 0 but is not working: problem 43 (stopped after it reported "
                             L"problems)",
       {}, EVENTLOG_WARNING_TYPE, 0, L"not in effect", 1},
      {"unknown after the restart", {L"/restart"},
       With({connectedA}, {}, [](Fake* f) { f->restarted = kUnknownState; }),
       atA + L"; device unknown: CR 0x13; restarted, but whether it started is not known" + notInEffect + a +
           L" holds SelectiveSuspendOn 0 but Windows could not tell its state: CR 0x13",
       {}, EVENTLOG_WARNING_TYPE, 0, L"not in effect", 1},
      {"restart fails: pending, and no later run tries again", {L"/restart"},
       With({connectedA}, {}, [](Fake* f) { f->restart = Change::kFailed; }),
       atA + L"; device working; restart failed - WARNING: SetupDiCallClassInstaller failed (error 5); pending: " + a +
           L" holds SelectiveSuspendOn 0; the kit's restart of it failed: takes effect when Windows restarts",
       {}, EVENTLOG_WARNING_TYPE, 0, L"pending", 1},
      {"a stale instance is not restarted", {L"/restart"}, With({staleA}, {}),
       atA + L"; device disconnected; restart not done" + notInEffect + a + staleText, {}, EVENTLOG_WARNING_TYPE, 0,
       L"not in effect"},
      {"written, then not found again", {L"/restart"}, With({connectedA}, {}, [](Fake* f) { f->lost = true; }),
       L"; key unknown - WARNING: the instance written was not found again", {}, EVENTLOG_WARNING_TYPE, 0, L"none"},
      {"the instance found again holds another value", {L"-enable", L"/restart"},
       With({connectedA}, {}, [](Fake* f) { f->after = 0; }),
       L"; key unknown - WARNING: the instance found again does not hold the value written: " + kKey + a +
           L"\\Device Parameters has SelectiveSuspendOn 0",
       {}, EVENTLOG_WARNING_TYPE, 0, L"none"},
      {"another run held the lock too long", {}, With({connectedA}, {}, [](Fake* f) { f->busy = true; }),
       L"; status 0 - WARNING: another run of the kit held the log for a minute, and this run went on beside it" +
           atA + L"; device working" + pendingA0,
       {}, EVENTLOG_WARNING_TYPE, 0, L"pending"},
      {"the guard's name taken by no copy of ours: written all the same", {},
       With({connectedA}, {}, [](Fake* f) { f->squatted = true; }),
       L"; status 0 - WARNING: squatted" + atA + L"; device working" + pendingA0, {}, EVENTLOG_WARNING_TYPE, 0,
       L"pending"},
      {"guard taken", {L"/restart"}, With({connectedA}, {}, [](Fake* f) { f->guard = kStatusGuardTaken; }),
       L"; status 2 - ERROR: another program holds the name Quorvane Execute Mutex Name; if this comes at every "
       L"start, see the deployment guide (status 2); key none",
       {}, EVENTLOG_WARNING_TYPE, 2, L"none"},
      {"the first panel's key without instances, the second connected: not written", {},
       With({}, {connectedC}, [](Fake* f) { f->key = 0; }),
       L"; status 1 - ERROR: not written: the first touch panel's device key is there, so the second is never looked "
       L"at (see the deployment guide: stale instances); key none",
       {}, EVENTLOG_ERROR_TYPE, 1, L"none"},
      {"not written, second panel", {}, With({}, {{c, kWorking, std::nullopt, false}}),
       L"; status 1 - ERROR: not written; key none", {}, EVENTLOG_ERROR_TYPE, 1, L"none"},
  };
  for (Case test : cases) {
    SCOPED_TRACE(test.name);
    std::vector<const wchar_t*> argv = {L"quorvane-kit.exe"};
    argv.insert(argv.end(), test.arguments.begin(), test.arguments.end());
    KitRequest request;
    ASSERT_EQ(0, ParseKitArguments(static_cast<int>(argv.size()), argv.data(), &request));
    Text line;
    KitEvent event;
    const DWORD exitStatus = RunKit(request, On(&test.fake), &line, &event);
    std::wstring want = std::wstring(L"switch ") + (request.enable ? L"-enable" : L"none");
    if (test.line.rfind(L"; status", 0) != 0)
      want += L"; status " + std::to_wstring(exitStatus == kStatusRebootNeeded ? 0 : exitStatus);
    EXPECT_EQ(want + test.line, line.data);
    EXPECT_EQ(test.notes, test.fake.notes);
    EXPECT_EQ(test.type, event.type);
    EXPECT_EQ(exitStatus == kStatusRebootNeeded ? 100u : exitStatus < 3 ? 100u + exitStatus : 103u, event.id);
    EXPECT_EQ(test.exitStatus, exitStatus);
    EXPECT_STREQ(test.verdict, event.verdict.data);
    EXPECT_EQ(std::to_wstring(exitStatus == kStatusRebootNeeded ? 0 : exitStatus), event.status.data);
    if (std::wstring(test.verdict) != L"none") {
      const std::wstring key = L"; key " + kKey + event.instance.data + L"\\Device Parameters";
      EXPECT_NE(std::wstring::npos, std::wstring(line.data).find(key));
    }
    EXPECT_EQ(test.restarts, test.fake.restarts);
    // /status, asked the same afterwards, gives the verdict that ends the line.
    if (std::wstring(test.verdict) != L"none") {
      DWORD status;
      const std::wstring verdict = StatusVerdict(&test.fake, request.enable ? 1 : 0, &status);
      const std::wstring said = line.data;
      EXPECT_EQ(said.substr(said.size() - verdict.size()), verdict);
      EXPECT_EQ(event.outcome == Verdict::kInEffect ? 0u : 1u, status);
    }
  }
}

// Each remediation cycle, as Intune runs it: detection (/status as
// deployed), and the remediation where it says not in effect. Run twice: the
// second cycle does nothing that the first showed cannot help.
TEST(Kit, RemediationActsOnlyWhereItHelps) {
  const std::wstring a = kPanel1 + L"1", b = kPanel1 + L"2", c = kPanel2 + L"3";
  struct Cycle {
    DWORD detected;     // /status
    int remediated;     // -1: not run; else its exit status
    int deviceCalls;    // restarts and removals asked for
  };
  const struct {
    const char* name;
    Fake fake;
    Cycle first;
    Cycle second;
    const wchar_t* said;  // how the first remediation's line begins
  } cases[] = {
      {"in effect", With({{a, kWorking, 1}}, {}, [](Fake* f) { f->record = Kept(f->devices[0][0].id, 1); }),
       {0, -1, 0}, {0, -1, 0}, L""},
      {"a wrong value: written, restarted", With({{a, kWorking, 0}}, {}, [](Fake* f) { f->record = Kept(f->devices[0][0].id, 0); }),
       {1, 0, 1}, {0, -1, 0}, L"remediated: switch -enable; status 0;"},
      {"pending: restarted",
       With({{a, kWorking, 1}}, {}, [](Fake* f) { f->record = Kept(f->devices[0][0].id, 1, true); }), {1, 0, 1},
       {0, -1, 0}, L"remediated:"},
      {"set by another program: restarted", With({{a, kWorking, 1}}, {}), {1, 0, 1}, {0, -1, 0}, L"remediated:"},
      {"a restart put off: a reboot, then a person",
       With({{a, kWorking, 0}}, {}, [](Fake* f) { f->restart = Change::kDoneRebootNeeded; }), {1, 0, 1}, {1, 1, 0},
       L"remediated, reboot needed:"},
      {"a restart that fails: once", With({{a, kWorking, 0}}, {}, [](Fake* f) { f->restart = Change::kFailed; }),
       {1, 1, 1}, {1, 1, 0}, L"not remediated - ERROR:"},
      {"not connected", With({{a, kDisconnected, 1}, {b, kWorking}}, {}), {1, 1, 0}, {1, 1, 0},
       L"needs a person: not in effect"},
      {"no panel", With({}, {}), {1, 1, 0}, {1, 1, 0}, L"needs a person: not in effect - WARNING: no touch panel"},
      {"another panel without the value", With({{a, kWorking, 1}}, {{c, kWorking}}), {1, 1, 0}, {1, 1, 0},
       L"needs a person: not in effect - WARNING: another instance"},
  };
  KitRequest deployed = {1, 0, 0};
  for (auto test : cases) {
    SCOPED_TRACE(test.name);
    for (const Cycle& want : {test.first, test.second}) {
      const int calls = test.fake.restarts + test.fake.removals;
      test.fake.notes.clear();
      EXPECT_EQ(want.detected, ReportStatus(1, L"the deployed choice", On(&test.fake)));
      int remediated = -1;
      Text said;
      Clear(&said);
      if (want.detected) {
        int ran;
        Text line;
        KitEvent event;
        remediated = static_cast<int>(Remediate(deployed, On(&test.fake), &said, &ran, &line, &event));
      }
      EXPECT_EQ(want.remediated, remediated);
      EXPECT_EQ(want.deviceCalls, test.fake.restarts + test.fake.removals - calls);
      if (&want == &test.first) {
        EXPECT_EQ(0u, std::wstring(said.data).rfind(test.said, 0)) << std::wstring(said.data);
      }
    }
  }
}

// How the log, and /status, name what Windows says.
TEST(Kit, StatesNamed) {
  const struct {
    DeviceState state;
    const wchar_t* named;
  } cases[] = {
      // The run table names the others.
      {{State::kProblem, 99}, L"problem 99"},
      {{State::kUnknown, 0}, L"unknown: CM_Get_DevNode_Status answered CR 0x3"},
  };
  for (const auto& test : cases) {
    Text text;
    Clear(&text);
    AppendState(&text, test.state, L"CM_Get_DevNode_Status answered CR 0x3");
    EXPECT_STREQ(test.named, text.data);
  }
}

// Only what decides which instance quorvane.exe writes goes: the stale
// instances its search finds ahead of the connected panel. One without
// Device Parameters, one behind the panel, and the other panel's are kept:
// any of them may be a panel that is only late.
TEST(Kit, RemovesOnlyWhatDecidesTheWrite) {
  Fake fake = With({{kPanel1 + L"0", kDisconnected},
                    {kPanel1 + L"1", kDisconnected, std::nullopt, false},
                    {kPanel1 + L"2", kDisconnected},
                    {kPanel1 + L"3", kWorking},
                    {kPanel1 + L"4", kDisconnected}},
                   {{kPanel2 + L"5", kDisconnected}, {kPanel2 + L"6", kWorking}});
  Text line;
  KitEvent event;
  RunKit({0, 0, 1}, On(&fake), &line, &event);
  EXPECT_EQ((std::vector<std::wstring>{kPanel1 + L"0", kPanel1 + L"2"}), fake.removed);
  EXPECT_EQ(3u, fake.devices[0].size());
  EXPECT_EQ(2u, fake.devices[1].size());
}

TEST(Kit, ArgumentsAreTheKitsOnly) {
  struct {
    std::vector<const wchar_t*> arguments;
    int bad;
  } cases[] = {
      {{L"-enable", L"/RESTART", L"/Remove-Stale"}, 0},
      {{L"-Enable"}, 1},
      {{L"-enable", L""}, 2},
      {{L"/restart", L"/restarts"}, 2},
      {{L"/remove"}, 1},
      {{L"-enable", L"-enable"}, 0},
  };
  for (const auto& test : cases) {
    std::vector<const wchar_t*> argv = {L"-enable"};  // element 0 is never an argument
    argv.insert(argv.end(), test.arguments.begin(), test.arguments.end());
    KitRequest request;
    EXPECT_EQ(test.bad, ParseKitArguments(static_cast<int>(argv.size()), argv.data(), &request))
        << "for " << test.arguments.size() << " arguments, the first '" << test.arguments[0] << "'";
  }
}

// A message too long for the line is cut and marked, never written past its end.
TEST(Kit, LongTextIsCutAndMarked) {
  Text text;
  Clear(&text);
  const std::wstring part(700, L'x');
  Append(&text, part.c_str());
  Append(&text, part.c_str());
  ASSERT_EQ(kTextCapacity - 1, text.length);
  EXPECT_EQ(std::wstring(text.data).size(), text.length);
  EXPECT_EQ(L" ...", std::wstring(text.data + text.length - 4));
  Clear(&text);
  AppendError(&text, 87);
  Append(&text, L" ");
  AppendError(&text, 0xE000020B);
  Append(&text, L" ");
  AppendHex(&text, 0);
  EXPECT_STREQ(L"87 0xE000020B 0x0", text.data);
}

// The machine's domain as S-1-5-21-1-2-3, the root of its forest or not.
bool OwnDomain(Domains* domains, bool root) {
  PSID domain = nullptr;
  if (!ConvertStringSidToSidW(L"S-1-5-21-1-2-3", &domain))
    return false;
  DWORD size = sizeof domains->admins;
  domains->hasAdmins = CreateWellKnownSid(WinAccountDomainAdminsSid, domain, domains->admins, &size);
  size = sizeof domains->enterprise;
  domains->hasEnterprise =
      root && CreateWellKnownSid(WinAccountEnterpriseAdminsSid, domain, domains->enterprise, &size);
  LocalFree(domain);
  return domains->hasAdmins && domains->hasEnterprise == root;
}

// The running account's SID, as SDDL names it.
std::wstring RunningAccount() {
  HANDLE token;
  EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  union {
    TOKEN_USER user;
    BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  } account;
  DWORD size;
  EXPECT_TRUE(GetTokenInformation(token, TokenUser, &account, sizeof account, &size));
  CloseHandle(token);
  wchar_t* text = nullptr;
  EXPECT_TRUE(ConvertSidToStringSidW(account.user.User.Sid, &text));
  const std::wstring sid = text;
  LocalFree(text);
  return sid;
}

// Which permissions of a package's folder, its files or a folder above it
// let anyone but SYSTEM, Administrators, TrustedInstaller, the running
// account and a domain's Domain Admins and Enterprise Admins change what
// runs as SYSTEM. Names are as Wine's LookupAccountSidW gives them; a SID it
// cannot name is shown as such.
TEST(Kit, SourceSafeFromUsers) {
  const std::wstring self = RunningAccount();
  const std::wstring kTrustedInstaller = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
  const std::wstring kNotTrusted =
      L", not by SYSTEM, Administrators, TrustedInstaller, this machine's domain's Domain Admins or its forest's "
      L"Enterprise Admins, or this account";
  const struct {
    std::wstring sddl;
    Place place;
    std::wstring why;  // after the quoted path; empty: safe
  } cases[] = {
      // C:\Program Files: users read and run; CREATOR OWNER's entry is inherit-only.
      {L"O:" + kTrustedInstaller + L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)(A;OICIIO;GA;;;CO)",
       Place::kItem, L""},
      // C:\: Authenticated Users may create folders, and modify only what they create.
      {L"O:SYD:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;;0x100004;;;AU)(A;OICIIO;0x1301bf;;;AU)(A;OICI;0x1200a9;;;BU)",
       Place::kAbove, L""},
      // ... but not in the package's folder: a DLL they add there would load.
      {L"O:SYD:(A;;0x100004;;;AU)", Place::kItem,
       L" lets NT AUTHORITY\\Authenticated Users append (in a folder: create folders)"},
      {L"O:SYD:(A;;0x100002;;;BU)", Place::kItem, L" lets BUILTIN\\Users write (in a folder: create files)"},
      // Either lets one set a reparse point on the file, so that its later
      // opening by path leads elsewhere.
      {L"O:SYD:(A;;0x100100;;;BU)", Place::kItem, L" lets BUILTIN\\Users change attributes"},
      {L"O:SYD:(A;;0x100010;;;BU)", Place::kItem, L" lets BUILTIN\\Users change extended attributes"},
      // C:\Temp: Modify inherited from C:\.
      {L"O:BAD:AI(A;OICIID;0x1301bf;;;AU)", Place::kAbove, L" lets NT AUTHORITY\\Authenticated Users delete"},
      {L"O:BAD:(A;;FA;;;WD)", Place::kAbove, L" lets Everyone take ownership"},
      {L"O:BAD:(A;;GA;;;WD)", Place::kAbove, L" lets Everyone take ownership"},
      {L"O:BAD:(A;;GW;;;IU)", Place::kAbove, L""},
      {L"O:BAD:(A;;0x40;;;BG)", Place::kAbove, L" lets BUILTIN\\Guests delete what it holds"},
      {L"O:BAD:(A;;WD;;;BU)", Place::kAbove, L" lets BUILTIN\\Users change permissions"},
      // Any account not trusted, not only the groups of all users: one
      // user's own full control (the kiosk user's, on a folder in their
      // profile), and groups that hold some users.
      {L"O:BAD:(D;;FA;;;WD)(A;;FA;;;SY)(A;;FA;;;S-1-5-21-7-8-9-1001)", Place::kItem,
       L" lets S-1-5-21-7-8-9-1001 take ownership"},
      {L"O:BAD:(A;OICI;0x1301bf;;;S-1-5-15)", Place::kItem, L" lets NT AUTHORITY\\This Organization delete"},
      {L"O:BAD:(A;;FA;;;S-1-2-1)", Place::kItem, L" lets S-1-2-1 take ownership"},  // CONSOLE LOGON
      {L"O:BAD:(A;;0x40;;;S-1-5-113)", Place::kAbove, L" lets S-1-5-113 delete what it holds"},  // Local account
      {L"O:BAD:(A;;GW;;;S-1-5-32-555)", Place::kItem,
       L" lets BUILTIN\\Remote Desktop Users write (in a folder: create files)"},
      {L"O:BAD:(A;OICI;WD;;;S-1-5-21-1-2-3-1105)", Place::kAbove, L" lets S-1-5-21-1-2-3-1105 change permissions"},
      {L"O:BAD:(A;;FA;;;SU)", Place::kItem, L" lets NT AUTHORITY\\SERVICE take ownership"},
      {L"O:BAD:(A;OICI;0x1301bf;;;S-1-5-21-1-2-3-513)", Place::kItem, L" lets S-1-5-21-1-2-3-513 delete"},
      // CREATOR OWNER counts only where it is inherited, never on the object.
      {L"O:BAD:(A;;FA;;;CO)", Place::kItem, L" lets CREATOR OWNER take ownership"},
      // Those trusted, and reading and running for everyone else.
      {L"O:SYD:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;" + kTrustedInstaller +
           L")(A;;FA;;;S-1-5-21-1-2-3-512)(A;;FA;;;S-1-5-21-1-2-3-519)(A;;FA;;;" + self +
           L")(A;OICIIO;GA;;;CO)(A;OICI;0x1200a9;;;BU)(A;OICI;0x1200a9;;;WD)",
       Place::kItem, L""},
      // Owners: the same accounts (SYSVOL's folders are often Domain Admins').
      {L"O:S-1-5-21-1-2-3-512D:(A;;FA;;;SY)", Place::kItem, L""},
      {L"O:" + self + L"D:(A;;FA;;;SY)", Place::kAbove, L""},
      {L"O:BA", Place::kItem, L" has no permissions at all: Everyone may change it"},
      {L"O:S-1-5-21-7-8-9-1001D:(A;;FA;;;SY)", Place::kAbove,
       L" is owned by S-1-5-21-7-8-9-1001" + kNotTrusted},
      {L"O:BUD:(A;;FA;;;SY)", Place::kItem, L" is owned by BUILTIN\\Users" + kNotTrusted},
      // Another domain's group owning it (its administrators may join it),
      // and the registry's own rights.
      {L"O:S-1-5-21-9-9-9-512D:(A;;FA;;;SY)", Place::kItem, L" is owned by S-1-5-21-9-9-9-512" + kNotTrusted},
      {L"O:BAD:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;BU)(A;CI;0x20019;;;WD)", Place::kKey, L""},
      {L"O:BAD:(A;;0x2;;;BU)", Place::kKey, L" lets BUILTIN\\Users set values"},
      {L"O:BAD:(A;;0x4;;;IU)", Place::kKey, L" lets NT AUTHORITY\\INTERACTIVE create subkeys"},
      {L"O:BAD:(A;;GW;;;WD)", Place::kKey, L" lets Everyone set values"},
  };
  Domains domains;
  ASSERT_TRUE(OwnDomain(&domains, true));
  for (const auto& test : cases) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(
        ConvertStringSecurityDescriptorToSecurityDescriptorW(test.sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr))
        << test.sddl;
    Text why;
    Clear(&why);
    const int safe = SafeFromUsers(descriptor, test.place, domains, L"C:\\x", &why);
    LocalFree(descriptor);
    EXPECT_EQ(test.why.empty(), safe) << test.sddl;
    EXPECT_EQ(test.why.empty() ? L"" : L"\"C:\\x\"" + test.why, std::wstring(why.data)) << test.sddl;
  }
}

// An allow entry of a type the check does not read may grant anything:
// refused. (SDDL cannot write a conditional entry under Wine, so the DACL is
// built by hand: a callback entry for Everyone, and an object entry.)
TEST(Kit, SourceEntriesOfEveryKind) {
  const struct {
    BYTE type;
    const wchar_t* why;
  } cases[] = {
      {ACCESS_ALLOWED_CALLBACK_ACE_TYPE, L"\"C:\\x\" lets Everyone delete"},
      {ACCESS_ALLOWED_OBJECT_ACE_TYPE, L"\"C:\\x\" has a permission entry of a type this check does not read (5)"},
      {ACCESS_DENIED_CALLBACK_ACE_TYPE, L""},
  };
  for (const auto& test : cases) {
    BYTE everyone[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof everyone;
    ASSERT_TRUE(CreateWellKnownSid(WinWorldSid, nullptr, everyone, &size));
    // The entry: header, mask, SID (an object entry with neither GUID reads the same).
    const WORD entry = static_cast<WORD>(sizeof(ACE_HEADER) + sizeof(ACCESS_MASK) +
                                         (test.type == ACCESS_ALLOWED_OBJECT_ACE_TYPE ? sizeof(DWORD) : 0) + size);
    std::vector<BYTE> bytes(sizeof(ACL) + entry);
    ACL* acl = reinterpret_cast<ACL*>(bytes.data());
    ASSERT_TRUE(InitializeAcl(acl, static_cast<DWORD>(bytes.size()), ACL_REVISION_DS));
    std::vector<BYTE> ace(entry);
    ACE_HEADER* header = reinterpret_cast<ACE_HEADER*>(ace.data());
    header->AceType = test.type;
    header->AceFlags = 0;
    header->AceSize = entry;
    *reinterpret_cast<ACCESS_MASK*>(ace.data() + sizeof(ACE_HEADER)) = DELETE;
    memcpy(ace.data() + entry - size, everyone, size);
    ASSERT_TRUE(AddAce(acl, ACL_REVISION_DS, 0, ace.data(), entry));
    SECURITY_DESCRIPTOR descriptor;
    ASSERT_TRUE(InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
    BYTE system[SECURITY_MAX_SID_SIZE];
    size = sizeof system;
    ASSERT_TRUE(CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &size));
    ASSERT_TRUE(SetSecurityDescriptorOwner(&descriptor, system, FALSE));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE));
    Text why;
    Clear(&why);
    const Domains none = {};
    EXPECT_EQ(!*test.why, SafeFromUsers(&descriptor, Place::kItem, none, L"C:\\x", &why)) << int(test.type);
    EXPECT_STREQ(test.why, why.data);
  }
}

// Only the machine's own domain's groups are trusted, and Enterprise Admins
// only where that domain is its forest's root.
TEST(Kit, DomainGroupsOfTheMachinesOwnDomain) {
  const struct {
    const wchar_t* sid;
    bool root;
    int trusted;
  } cases[] = {
      {L"S-1-5-21-1-2-3-512", true, 1},  {L"S-1-5-21-1-2-3-519", true, 1}, {L"S-1-5-21-1-2-3-519", false, 0},
      {L"S-1-5-21-9-9-9-512", true, 0},  {L"S-1-5-21-9-9-9-519", true, 0}, {L"S-1-5-21-1-2-3-513", true, 0},
      {L"S-1-5-21-1-2-3-4-512", true, 0},
  };
  for (const auto& test : cases) {
    Domains domains;
    ASSERT_TRUE(OwnDomain(&domains, test.root));
    PSID sid = nullptr;
    ASSERT_TRUE(ConvertStringSidToSidW(test.sid, &sid));
    EXPECT_EQ(test.trusted, TrustedAccount(sid, domains)) << std::wstring(test.sid) << (test.root ? " root" : "");
    LocalFree(sid);
  }
}

// The installed kit: SYSTEM and Administrators alone, inherited by nothing
// from Program Files, so that no standard user may open a file of it.
TEST(Kit, InstalledPermissionsGiveUsersNothing) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(kInstalledSecurity, SDDL_REVISION_1, &descriptor,
                                                                  nullptr));
  SECURITY_DESCRIPTOR_CONTROL control;
  DWORD revision;
  ASSERT_TRUE(GetSecurityDescriptorControl(descriptor, &control, &revision));
  EXPECT_TRUE(control & SE_DACL_PROTECTED);
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) && present && dacl);
  BYTE system[SECURITY_MAX_SID_SIZE];
  BYTE administrators[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof system;
  ASSERT_TRUE(CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &size));
  size = sizeof administrators;
  ASSERT_TRUE(CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size));
  EXPECT_EQ(2u, dacl->AceCount);
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    ACCESS_ALLOWED_ACE* ace;
    ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void**>(&ace)));
    PSID sid = &ace->SidStart;
    EXPECT_TRUE(EqualSid(sid, system) || EqualSid(sid, administrators)) << "entry " << i;
  }
  LocalFree(descriptor);
}

TEST(Kit, FinalPathsAsPaths) {
  const struct {
    const wchar_t* final;
    const wchar_t* path;
  } cases[] = {
      {L"\\\\?\\C:\\Program Files\\Quorvane", L"C:\\Program Files\\Quorvane"},
      {L"\\\\?\\UNC\\server\\share\\kit", L"\\\\server\\share\\kit"},
      {L"C:\\kit", L"C:\\kit"},
  };
  for (const auto& test : cases) {
    Text path;
    PlainPath(test.final, &path);
    EXPECT_STREQ(test.path, path.data);
  }
}

// What was checked stays held until it is closed: its files can be neither
// written nor deleted, nor its folder renamed; a file that is not there
// passes (the folder's own check covers one added later).
TEST(Kit, PackageHeldWhileUsed) {
  const std::wstring folder = L"C:\\quorvane-kit-test";
  const std::wstring file = folder + L"\\quorvane.exe";
  RemoveDirectoryW(folder.c_str());
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
  HANDLE created = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, created);
  CloseHandle(created);
  const wchar_t* const names[] = {L"quorvane.exe", L"startup.cmd"};
  Package package;
  Text why;
  Clear(&why);
  ASSERT_TRUE(OpenPackage(folder.c_str(), names, 2, &package, &why)) << std::wstring(why.data);
  EXPECT_STREQ(folder.c_str(), package.folder.data);
  EXPECT_NE(INVALID_HANDLE_VALUE, package.files[0]);
  EXPECT_EQ(INVALID_HANDLE_VALUE, package.files[1]);
  EXPECT_EQ(INVALID_HANDLE_VALUE,
            CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
  EXPECT_FALSE(DeleteFileW(file.c_str()));
  EXPECT_FALSE(MoveFileExW(folder.c_str(), (folder + L".moved").c_str(), 0));
  ClosePackage(&package);
  EXPECT_TRUE(DeleteFileW(file.c_str()));
  EXPECT_TRUE(RemoveDirectoryW(folder.c_str()));
}

}  // namespace
