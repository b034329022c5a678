// Load, faults and hostile registry layouts: every run ends in 0, 1 or 2 with
// exactly the expected value changed, or nothing.
#include "support.h"

namespace {

std::wstring Instance1(const std::wstring& name) {
  return DEVICE_KEY_1 L"\\" + name + DEVICE_PARAMETERS;
}

// --- Many copies at once ------------------------------------------------------

using ConcurrencyTest = RegistryTest;

TEST_F(ConcurrencyTest, ThirtyTwoCopiesPerRound) {
  const std::wstring written = Instance1(L"0000");
  Build({{written}, {Instance1(L"0001")}, {DEVICE_KEY_2 L"\\0000" DEVICE_PARAMETERS}});
  SetDword(written, L"EnhancedPowerManagementEnabled", 1);
  const Snapshot before = TakeSnapshot();

  for (int round = 0; round < 6; ++round) {
    const DWORD value = round % 2 == 0 ? 1 : 0;
    const auto statuses = RunQuorvaneCopies(value ? L"quorvane.exe -enable" : L"quorvane.exe", 32);
    int won = 0;
    for (DWORD status : statuses) {
      EXPECT_TRUE(status == 0 || status == 2) << "round " << round << ": status " << status;
      won += status == 0;
    }
    EXPECT_GE(won, 1) << "round " << round << ": no copy did the work";
    Snapshot expected = before;
    expected[ValueEntry(written)] = Dword(value);
    const Snapshot got = TakeSnapshot();
    EXPECT_TRUE(got == expected) << "round " << round << ":" << DescribeDifferences(expected, got);
  }
}

// --- Names the registry allows, and refused access ------------------------------

LayoutCase Alone(const char* name, const std::wstring& instance, bool fits = true) {
  return {name, {{Instance1(instance)}}, fits ? 0u : 1u, fits ? Instance1(instance) : L""};
}

const std::wstring kSmiley = L"\U0001F600";  // two code units
std::wstring Smileys(size_t count) {
  std::wstring text;
  for (; count; --count)
    text += kSmiley;
  return text;
}

const LayoutCase kHostileCases[] = {
    Alone("DeviceInstanceStyle", L"6&1a2b3c4d&0&0001"),
    Alone("Spaces", L"name with  spaces "),
    Alone("HashAndBraces", L"#{4d36e972-e325-11ce-bfc1-08002be10318}#"),
    Alone("NonAscii", L"\u00dcml\u00e4ut-\u041a\u0438\u0440-\u65e5\u672c"),
    Alone("OutsideBasicPlane", kSmiley + L"-panel"),
    // The bound counts code units: 91 pairs and one letter are 183, 92 pairs 184.
    Alone("SurrogatePairsAtBound", Smileys(91) + L"a"),
    Alone("SurrogatePairsPastBound", Smileys(92), false),
    Alone("RegistryMaximumName", std::wstring(255, L'x'), false),
    {"RegistryMaximumNameThenShort", {{Instance1(std::wstring(255, L'x'))}, {Instance1(L"y")}}, 0, Instance1(L"y")},
    {"ParametersRefuseOnlySetValue", {{Instance1(L"0000"), KEY_ALL_ACCESS & ~KEY_SET_VALUE}}, 1, L""},
    // Full access by design: an administrator who may only read and set values,
    // as under an Enum tree that belongs to SYSTEM, gets nothing written. The
    // clean-up still opens the key up: its owner, the test, keeps WRITE_DAC.
    {"ParametersGrantReadAndWriteOnly",
     {{Instance1(L"0000"), KEY_READ | KEY_SET_VALUE | KEY_CREATE_SUB_KEY}},
     1,
     L""},
    {"EveryParametersKeyUnreadable",
     {{Instance1(L"0000"), kKeepForCleanup}, {Instance1(L"0001"), kKeepForCleanup}, {Instance1(L"0002"), kKeepForCleanup}},
     1,
     L""},
};

INSTANTIATE_TEST_SUITE_P(Hostile, LayoutTest, testing::ValuesIn(kHostileCases), CaseName());

// --- Large layouts ----------------------------------------------------------------

using LargeLayoutTest = RegistryTest;

TEST_F(LargeLayoutTest, ThousandsOfInstancesOnlyLastQualifies) {
  constexpr int kInstances = 3000;
  wchar_t name[16];
  for (int i = 0; i < kInstances - 1; ++i) {
    swprintf(name, 16, L"%05d", i);
    CreateKey(DEVICE_KEY_1 L"\\" + std::wstring(name));
  }
  swprintf(name, 16, L"%05d", kInstances - 1);
  const std::wstring last = Instance1(name);
  CreateKey(last);
  const Snapshot before = TakeSnapshot();

  ExpectOutcome(before, RunQuorvane(L"quorvane.exe -enable"), 0, last, 1);
}

// Whole-tree snapshots: after a success exactly one value differs, after any
// other outcome none does.
TEST_F(LargeLayoutTest, OnlyTheOneValueEverChanges) {
  for (const wchar_t* device : {DEVICE_KEY_1, DEVICE_KEY_2}) {
    for (const wchar_t* instance : {L"\\0000", L"\\0001", L"\\0002"}) {
      const std::wstring parameters = device + std::wstring(instance) + DEVICE_PARAMETERS;
      CreateKey(parameters);
      SetDword(parameters, kValueName, 0);
      SetDword(parameters, L"EnhancedPowerManagementEnabled", 1);
      SetValue(parameters, L"SymbolicName", REG_SZ, L"\\??\\USB#x", 20);
      SetDword(device + std::wstring(instance), L"ConfigFlags", 0);
    }
  }
  const Snapshot before = TakeSnapshot();

  const std::wstring written = Instance1(L"0000");
  ExpectOutcome(before, RunQuorvane(L"quorvane.exe -enable"), 0, written, 1);
  Snapshot afterEnable = before;
  afterEnable[ValueEntry(written)] = Dword(1);
  size_t differing = 0;
  for (const auto& [entry, value] : before)
    differing += !(afterEnable.at(entry) == value);
  EXPECT_EQ(differing, 1u);

  HANDLE held = CreateMutexW(nullptr, FALSE, kGuardName);
  ExpectOutcome(afterEnable, RunQuorvane(L"quorvane.exe"), 2);
  CloseHandle(held);

  RestrictKey(written, KEY_READ | kKeepForCleanup);
  const Snapshot restricted = TakeSnapshot();
  ExpectOutcome(restricted, RunQuorvane(L"quorvane.exe"), 1);
}

// Opening "...\instance\Device Parameters" by its full path needs no access to
// the instance key on the way, so instances that refuse reading still qualify.
TEST_F(LargeLayoutTest, InstanceKeysRefusingReadStillQualify) {
  const std::wstring first = Instance1(L"0000"), second = Instance1(L"0001");
  Build({{first}, {second}, {DEVICE_KEY_1 L"\\0000", kKeepForCleanup}, {DEVICE_KEY_1 L"\\0001", kKeepForCleanup}});
  const Snapshot before = TakeSnapshot();  // cannot see below the instances
  const Snapshot secondBefore = TakeSnapshot(second);

  ExpectOutcome(before, RunQuorvane(L"quorvane.exe -enable"), 0);
  Snapshot firstExpected = {{first + L"\\", StoredValue{}}, {ValueEntry(first), Dword(1)}};
  const Snapshot firstGot = TakeSnapshot(first);
  EXPECT_TRUE(firstGot == firstExpected) << DescribeDifferences(firstExpected, firstGot);
  EXPECT_TRUE(TakeSnapshot(second) == secondBefore) << DescribeDifferences(secondBefore, TakeSnapshot(second));
}

}  // namespace
