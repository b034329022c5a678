// The companion's decisions against a fake machine: which instances are
// stale, when removal is allowed, what is logged and which event is written.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "../../src/kit/kit.h"
#include "../../src/kit/security.h"

#include <sddl.h>

// Cases name only what they set of the fake machine.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

const std::wstring kPanel1 = L"USB\\VID_04F3&PID_0026&MI_01\\";
const std::wstring kPanel2 = L"USB\\VID_0EEF&PID_C069\\";
const std::wstring kKey = L"HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\";
const std::wstring kNotConnected =
    L"; device disconnected - WARNING: this instance is not connected, so the touch panel in use keeps its former "
    L"setting (see the deployment guide: stale instances)";
const std::wstring kUnknown = L"; device unknown: CR 0x13 - WARNING: Windows could not tell whether this device works";
const std::wstring kProblem =
    L" - WARNING: Windows reports a problem with this device, so the setting is not in use (see the deployment "
    L"guide: device states)";
const std::wstring kAdvice = L"; restart the device or the machine for the setting to take effect";

constexpr DeviceState kWorking = {State::kWorking, 0};
constexpr DeviceState kDisconnected = {State::kDisconnected, 0};

struct FakeInstance {
  std::wstring id;
  DeviceState state;
  bool back = false;  // in the device tree again when it comes to removing it
};

struct Fake {
  std::vector<FakeInstance> devices[2];
  DWORD status = kStatusWritten;
  std::wstring written;  // instance ID found by the search after the run
  Change removal = Change::kDone;
  Change restart = Change::kDone;
  int deviceKey = 0;  // the device key quorvane.exe searches
  std::optional<DeviceState> restarted;  // the state a restart leaves
  Value value = Value::kDword;  // what the instance written holds
  std::optional<DWORD> data;    // by default, what quorvane.exe was asked to write
  bool busy = false;            // another run holds the lock
  bool locked = false;
  int asked = -1;
  std::vector<std::wstring> notes;
  std::vector<std::wstring> removed;
};

Fake& Of(void* context) {
  return *static_cast<Fake*>(context);
}

FakeInstance& Find(Fake& fake, const wchar_t* id) {
  for (auto& device : fake.devices)
    for (FakeInstance& instance : device)
      if (instance.id == id)
        return instance;
  ADD_FAILURE() << "asked for an instance that is not there";
  static FakeInstance none;
  none = {id, {State::kUnknown, 0}};
  return none;
}

const KitPlatform kFakePlatform = {
    nullptr,
    [](void* c, int enable, Text*) {
      EXPECT_TRUE(Of(c).locked) << "ran before taking the lock";
      Of(c).asked = enable;
      return Of(c).status;
    },
    [](void* c) { return Of(c).deviceKey; },
    [](void* c, wchar_t* path) {
      const std::wstring full = L"SYSTEM\\CurrentControlSet\\Enum\\" + Of(c).written + L"\\Device Parameters";
      wcscpy(path, full.c_str());
      return Of(c).written.empty() ? 0 : 1;
    },
    [](void* c, int device, DWORD index, Text* id) {
      if (index >= Of(c).devices[device].size())
        return 0;
      Clear(id);
      Append(id, Of(c).devices[device][index].id.c_str());
      return 1;
    },
    [](void* c, const wchar_t* id, Text* why) {
      EXPECT_TRUE(Of(c).locked) << "counted before taking the lock";
      const DeviceState state = Find(Of(c), id).state;
      if (state.state == State::kUnknown)
        Append(why, L"CR 0x13");
      return state;
    },
    [](void* c, const wchar_t* id, DWORD* data) {
      EXPECT_EQ(Of(c).written, id);
      *data = Of(c).data.value_or(static_cast<DWORD>(Of(c).asked));
      return Of(c).value;
    },
    [](void* c, const wchar_t* id, Text* why) {
      Fake& fake = Of(c);
      FakeInstance& instance = Find(fake, id);
      if (instance.back) {
        instance.state = kWorking;
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
      if (fake.restart == Change::kFailed)
        Append(why, L"SetupDiCallClassInstaller failed (error 5)");
      else if (fake.restarted)
        Find(fake, id).state = *fake.restarted;
      return fake.restart;
    },
    [](void* c, const wchar_t* line) { Of(c).notes.push_back(line); },
    [](void* c) {
      Of(c).locked = true;
      return Of(c).busy ? 0 : 1;
    },
};

struct Case {
  const char* name;
  std::vector<const wchar_t*> arguments;
  Fake fake;
  std::wstring line;  // after "switch ...; status N"
  std::vector<std::wstring> notes;
  WORD type;
  DWORD exitStatus;
};

std::wstring RunCase(Fake* fake, const std::vector<const wchar_t*>& arguments, KitEvent* event, DWORD* exitStatus) {
  std::vector<const wchar_t*> argv = {L"quorvane-kit.exe"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  KitRequest request;
  EXPECT_EQ(0, ParseKitArguments(static_cast<int>(argv.size()), argv.data(), &request));
  KitPlatform platform = kFakePlatform;
  platform.context = fake;
  Text line;
  *exitStatus = RunKit(request, platform, &line, event);
  return line.data;
}

// A fake with what a case sets: the instances, and its other fields.
Fake With(std::vector<FakeInstance> first, std::vector<FakeInstance> second, std::wstring written,
          void (*more)(Fake*) = nullptr) {
  Fake fake;
  fake.devices[0] = std::move(first);
  fake.devices[1] = std::move(second);
  fake.written = std::move(written);
  if (more)
    more(&fake);
  return fake;
}

TEST(Kit, RunsDecideLineEventAndStatus) {
  const std::wstring a = kPanel1 + L"6&1a&0&0001", b = kPanel1 + L"6&1a&0&0002", c = kPanel2 + L"5&2f&0&3";
  const std::wstring hostile = kPanel2 + L"0\"&echo pwned>x&\"!x^y (1)";
  const FakeInstance connectedA{a, kWorking}, staleA{a, kDisconnected}, connectedB{b, kWorking},
      staleB{b, kDisconnected}, connectedC{c, kWorking}, unknownA{a, {State::kUnknown, 0}},
      disabledA{a, {State::kProblem, 22}}, failingA{a, {State::kProblem, 43}}, disabledB{b, {State::kProblem, 22}},
      backA{a, kDisconnected, true};
  const std::wstring at = L"; key " + kKey;
  const std::wstring atA = at + a + L"\\Device Parameters", atB = at + b + L"\\Device Parameters";
  const std::vector<Case> cases = {
      {"written, working", {}, With({connectedA}, {}, a), atA + L"; device working", {}, EVENTLOG_INFORMATION_TYPE,
       0},
      {"written to a stale instance", {L"-enable"}, With({staleA, connectedB}, {}, a), atA + kNotConnected, {},
       EVENTLOG_WARNING_TYPE, 0},
      {"state unknown", {}, With({unknownA}, {}, a), atA + kUnknown, {}, EVENTLOG_WARNING_TYPE, 0},
      {"disabled", {}, With({disabledA}, {}, a), atA + L"; device problem 22 (disabled)" + kProblem, {},
       EVENTLOG_WARNING_TYPE, 0},
      {"two panels connected, one written", {L"-enable"}, With({connectedA, disabledB}, {}, a),
       atA + L"; device working; instances connected 2 - WARNING: only the key above holds the setting, the others "
             L"keep their former one (see the deployment guide: two panels)",
       {}, EVENTLOG_WARNING_TYPE, 0},
      {"a panel of the other kind is not counted", {}, With({connectedA}, {connectedC}, a), atA + L"; device working",
       {}, EVENTLOG_INFORMATION_TYPE, 0},
      {"stale removed first", {L"/remove-stale", L"-enable"}, With({staleA, connectedB}, {}, b),
       atB + L"; device working; stale removed 1 (" + a + L"), not removed 0", {L"stale instance " + a + L" removed"},
       EVENTLOG_INFORMATION_TYPE, 0},
      {"a panel with a problem is connected: stale ones go", {L"/remove-stale"}, With({staleA, disabledB}, {}, b),
       atB + L"; device problem 22 (disabled)" + kProblem + L"; stale removed 1 (" + a + L"), not removed 0",
       {L"stale instance " + a + L" removed"}, EVENTLOG_WARNING_TYPE, 0},
      {"a removal needs a reboot", {L"/remove-stale"},
       With({staleA, connectedB}, {}, b, [](Fake* f) { f->removal = Change::kDoneRebootNeeded; }),
       atB + L"; device working; stale removed 1 (" + a + L"), not removed 0; a reboot is needed to finish the removal",
       {L"stale instance " + a + L" removed, a reboot is needed to finish"}, EVENTLOG_INFORMATION_TYPE,
       kStatusRebootNeeded},
      {"stale of both panels, the second connected: a reboot asked for does not hide status 1", {L"/REMOVE-STALE"},
       With({staleA, staleB}, {connectedC}, L"",
            [](Fake* f) {
              f->status = 1;
              f->removal = Change::kDoneRebootNeeded;
            }),
       L"; status 1 - the first touch panel's device key is there, so the second is never looked at (see the "
       L"deployment guide: stale instances); key none; stale removed 2 (" + a + L", " + b + L"), not removed 0"
       L"; a reboot is needed to finish the removal",
       {L"stale instance " + a + L" removed, a reboot is needed to finish",
        L"stale instance " + b + L" removed, a reboot is needed to finish"},
       EVENTLOG_ERROR_TYPE, 1},
      {"plugged back in before its removal: kept", {L"/remove-stale"}, With({backA, connectedB}, {}, b),
       atB + L"; device working; instances connected 2 - WARNING: only the key above holds the setting, the others "
             L"keep their former one (see the deployment guide: two panels); stale removed 0, not removed 0, "
             L"connected again 1 (" + a + L")",
       {L"stale instance " + a + L" kept: it is in the device tree again"}, EVENTLOG_WARNING_TYPE, 0},
      {"none connected: nothing removed", {L"/remove-stale"}, With({staleA, staleB}, {}, a),
       atA + kNotConnected +
           L"; stale instances not removed - WARNING: no touch panel is connected, so none can be told stale",
       {}, EVENTLOG_WARNING_TYPE, 0},
      {"state unknown: nothing removed", {L"/remove-stale"}, With({unknownA}, {}, a),
       atA + kUnknown + L"; stale instances not checked - WARNING: state unknown: CR 0x13", {}, EVENTLOG_WARNING_TYPE,
       0},
      {"a removal fails", {L"/remove-stale"},
       With({staleA, connectedB}, {}, a, [](Fake* f) { f->removal = Change::kFailed; }),
       atA + kNotConnected + L"; stale removed 0, not removed 1",
       {L"stale instance " + a + L" not removed - WARNING: denied"}, EVENTLOG_WARNING_TYPE, 0},
      {"a hostile name, logged as it stands", {L"/remove-stale"},
       With({}, {{hostile, kDisconnected}, connectedC}, c, [](Fake* f) { f->deviceKey = 1; }),
       at + c + L"\\Device Parameters; device working; stale removed 1 (" + hostile + L"), not removed 0",
       {L"stale instance " + hostile + L" removed"}, EVENTLOG_INFORMATION_TYPE, 0},
      {"restarted", {L"/restart"}, With({connectedA}, {}, a), atA + L"; device working; restart done", {},
       EVENTLOG_INFORMATION_TYPE, 0},
      {"restarted, reboot needed", {L"-enable", L"/Restart"},
       With({connectedA}, {}, a, [](Fake* f) { f->restart = Change::kDoneRebootNeeded; }),
       atA + L"; device working; restart done, a reboot is needed to finish (3010)", {}, EVENTLOG_INFORMATION_TYPE,
       kStatusRebootNeeded},
      {"a restart that brings a failed device back", {L"/restart"},
       With({{a, {State::kProblem, 10}}}, {}, a, [](Fake* f) { f->restarted = kWorking; }),
       atA + L"; device working; restart done", {}, EVENTLOG_INFORMATION_TYPE, 0},
      {"still failing after the restart", {L"/restart"}, With({failingA}, {}, a),
       atA + L"; device problem 43 (stopped after it reported problems)" + kProblem +
           L"; restarted, but it did not start",
       {}, EVENTLOG_WARNING_TYPE, 0},
      {"not started after a restart that needs a reboot", {L"-enable", L"/restart"},
       With({connectedA}, {}, a,
            [](Fake* f) {
              f->restart = Change::kDoneRebootNeeded;
              f->restarted = DeviceState{State::kProblem, 14};
            }),
       atA + L"; device problem 14 (needs the computer restarted)" + kProblem +
           L"; restarted, but it did not start, a reboot is needed to finish (3010)",
       {}, EVENTLOG_WARNING_TYPE, kStatusRebootNeeded},
      {"unknown after the restart", {L"/restart"},
       With({connectedA}, {}, a, [](Fake* f) { f->restarted = DeviceState{State::kUnknown, 0}; }),
       atA + kUnknown + L"; restarted, but whether it started is not known", {}, EVENTLOG_WARNING_TYPE, 0},
      {"restart fails", {L"/restart"}, With({connectedA}, {}, a, [](Fake* f) { f->restart = Change::kFailed; }),
       atA + L"; device working; restart failed - WARNING: SetupDiCallClassInstaller failed (error 5)" + kAdvice, {},
       EVENTLOG_WARNING_TYPE, 0},
      {"a stale instance is not restarted", {L"/restart"},
       With({staleA}, {}, a, [](Fake* f) { f->restart = Change::kFailed; }),
       atA + kNotConnected + L"; restart not done" + kAdvice, {}, EVENTLOG_WARNING_TYPE, 0},
      {"written, then not found again", {L"/restart"}, With({connectedA}, {}, L""),
       L"; key unknown - WARNING: the instance written was not found again; restart not done" + kAdvice, {},
       EVENTLOG_WARNING_TYPE, 0},
      {"the instance found again holds another value", {L"-enable", L"/restart"},
       With({connectedA}, {}, a, [](Fake* f) { f->data = 0; }),
       L"; key unknown - WARNING: the instance found again does not hold the value written: " + kKey + a +
           L"\\Device Parameters has SelectiveSuspendOn 0; restart not done" + kAdvice,
       {}, EVENTLOG_WARNING_TYPE, 0},
      {"the instance found again has no value", {},
       With({connectedA}, {}, a, [](Fake* f) { f->value = Value::kAbsent; }),
       L"; key unknown - WARNING: the instance found again does not hold the value written: " + kKey + a +
           L"\\Device Parameters has SelectiveSuspendOn absent",
       {}, EVENTLOG_WARNING_TYPE, 0},
      {"another run held the lock too long", {}, With({connectedA}, {}, a, [](Fake* f) { f->busy = true; }),
       L"; status 0 - WARNING: another run of the kit held the log for a minute, and this run went on beside it" +
           atA + L"; device working",
       {}, EVENTLOG_WARNING_TYPE, 0},
      {"guard taken", {L"/restart"}, With({connectedA}, {}, L"", [](Fake* f) { f->status = 2; }),
       L"; status 2 - another program holds the name Quorvane Execute Mutex Name; if this comes at every start, "
       L"see the deployment guide (status 2); key none",
       {}, EVENTLOG_WARNING_TYPE, 2},
      {"not written, second panel", {},
       With({}, {connectedC}, L"",
            [](Fake* f) {
              f->status = 1;
              f->deviceKey = 1;
            }),
       L"; status 1; key none", {}, EVENTLOG_ERROR_TYPE, 1},
      {"quorvane.exe ended abnormally", {}, With({connectedA}, {}, L"", [](Fake* f) { f->status = 0xC0000409; }),
       L"; status 0xC0000409; key none", {}, EVENTLOG_ERROR_TYPE, 0xC0000409},
  };
  const DWORD ids[] = {100, 101, 102};
  for (Case test : cases) {
    SCOPED_TRACE(test.name);
    KitEvent event;
    DWORD exitStatus;
    const std::wstring line = RunCase(&test.fake, test.arguments, &event, &exitStatus);
    bool enable = false;
    for (const wchar_t* argument : test.arguments)
      enable |= std::wstring(argument) == L"-enable";
    std::wstring want = std::wstring(L"switch ") + (enable ? L"-enable" : L"none");
    if (test.line.rfind(L"; status", 0) != 0)
      want += L"; status " + std::to_wstring(test.fake.status);
    EXPECT_EQ(want + test.line, line);
    EXPECT_EQ(test.notes, test.fake.notes);
    EXPECT_EQ(test.type, event.type);
    EXPECT_EQ(test.fake.status < 3 ? ids[test.fake.status] : 103u, event.id);
    EXPECT_EQ(test.exitStatus, exitStatus);
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

// A connected instance is never removed, whatever comes before it.
TEST(Kit, RemovesOnlyDisconnectedInstances) {
  Fake fake;
  for (int i = 0; i < 6; ++i)
    fake.devices[i % 2].push_back({kPanel1 + std::to_wstring(i), i % 3 ? kDisconnected : kWorking});
  fake.written = kPanel1 + L"0";
  KitEvent event;
  DWORD exitStatus;
  RunCase(&fake, {L"/remove-stale"}, &event, &exitStatus);
  const std::vector<std::wstring> removed = {kPanel1 + L"2", kPanel1 + L"4", kPanel1 + L"1", kPanel1 + L"5"};
  EXPECT_EQ(removed, fake.removed);
  ASSERT_EQ(1u, fake.devices[0].size());
  ASSERT_EQ(1u, fake.devices[1].size());
  EXPECT_EQ(kPanel1 + L"0", fake.devices[0][0].id);
  EXPECT_EQ(kPanel1 + L"3", fake.devices[1][0].id);
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
  const struct {
    std::wstring sddl;
    Place place;
    const wchar_t* why;  // after the quoted path; empty: safe
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
       L" is owned by S-1-5-21-7-8-9-1001, not by SYSTEM, Administrators, TrustedInstaller, a domain's Domain Admins "
       L"or Enterprise Admins, or this account"},
      {L"O:BUD:(A;;FA;;;SY)", Place::kItem,
       L" is owned by BUILTIN\\Users, not by SYSTEM, Administrators, TrustedInstaller, a domain's Domain Admins or "
       L"Enterprise Admins, or this account"},
  };
  for (const auto& test : cases) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(
        ConvertStringSecurityDescriptorToSecurityDescriptorW(test.sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr))
        << test.sddl;
    Text why;
    Clear(&why);
    const int safe = SafeFromUsers(descriptor, test.place, L"C:\\x", &why);
    LocalFree(descriptor);
    EXPECT_EQ(!*test.why, safe) << test.sddl;
    EXPECT_EQ(*test.why ? L"\"C:\\x\"" + std::wstring(test.why) : L"", std::wstring(why.data)) << test.sddl;
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
    EXPECT_EQ(!*test.why, SafeFromUsers(&descriptor, Place::kItem, L"C:\\x", &why)) << int(test.type);
    EXPECT_STREQ(test.why, why.data);
  }
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
