// The switch end to end: quorvane.exe against a real registry layout.
#include "support.h"

namespace {

#define K1_0000 DEVICE_KEY_1 L"\\0000"
#define K1_0001 DEVICE_KEY_1 L"\\0001"
#define K2_0000 DEVICE_KEY_2 L"\\0000"

constexpr ACCESS_MASK kNoRead = kKeepForCleanup;
constexpr ACCESS_MASK kReadOnly = KEY_READ | kKeepForCleanup;

std::wstring Repeat(wchar_t c, size_t count) {
  return std::wstring(count, c);
}

// --- The command line decides the value --------------------------------------

struct SwitchCase {
  const char* name;
  const wchar_t* commandLine;
  DWORD value;
};

class SwitchTest : public RegistryTest, public testing::WithParamInterface<SwitchCase> {};

TEST_P(SwitchTest, WritesValueOfSwitch) {
  const std::wstring parameters = K1_0000 DEVICE_PARAMETERS;
  Build({{parameters}});
  SetDword(parameters, L"EnhancedPowerManagementEnabled", 1);
  SetDword(parameters, kValueName, 7);  // neither 0 nor 1, so every case changes it
  const Snapshot before = TakeSnapshot();

  ExpectOutcome(before, RunQuorvane(GetParam().commandLine), 0, parameters, GetParam().value);
}

const SwitchCase kSwitchCases[] = {
    {"NoArguments", L"quorvane.exe", 0},
    {"Enable", L"quorvane.exe -enable", 1},
    {"EnableSecondOfThree", L"quorvane.exe first -enable third", 1},
    {"EnableTwice", L"quorvane.exe -enable -enable", 1},
    {"EnableQuoted", L"quorvane.exe \"-enable\"", 1},
    {"EnableAfterTabs", L"quorvane.exe\t\t-enable\t", 1},
    {"EnableAfterOtherSwitch", L"quorvane.exe -disable -enable", 1},
    {"CapitalLetter", L"quorvane.exe -Enable", 0},
    {"UpperCase", L"quorvane.exe -ENABLE", 0},
    {"Slash", L"quorvane.exe /enable", 0},
    {"DoubleDash", L"quorvane.exe --enable", 0},
    {"NoDash", L"quorvane.exe enable", 0},
    {"TrailingLetter", L"quorvane.exe -enabled", 0},
    {"TrailingSpaceInQuotes", L"quorvane.exe \"-enable \"", 0},
    {"LeadingSpaceInQuotes", L"quorvane.exe \" -enable\"", 0},
    {"Prefix", L"quorvane.exe -enabl", 0},
    {"EmptyArgument", L"quorvane.exe \"\"", 0},
    {"ProgramNamedEnable", L"-enable", 0},
    {"ProgramNamedEnableWithArgument", L"-enable other", 0},
};

INSTANTIATE_TEST_SUITE_P(CommandLine, SwitchTest, testing::ValuesIn(kSwitchCases),
                         CaseName());

// --- The layout decides where, and whether, the value is written -------------

TEST_P(LayoutTest, WritesFirstQualifyingInstanceOnly) {
  Build(GetParam().keys);
  const Snapshot before = TakeSnapshot();

  ExpectOutcome(before, RunQuorvane(L"quorvane.exe -enable"), GetParam().status, GetParam().written, 1);
}

// Wine enumerates subkeys in name order, which fixes "first" below.
const LayoutCase kLayoutCases[] = {
    {"NoDevice", {}, 1, L""},
    {"Key1WithoutInstances", {{DEVICE_KEY_1}}, 1, L""},
    {"Key2Alone", {{K2_0000 DEVICE_PARAMETERS}}, 0, K2_0000 DEVICE_PARAMETERS},
    {"BothKeysOnlyKey1Written",
     {{K1_0000 DEVICE_PARAMETERS}, {K2_0000 DEVICE_PARAMETERS}},
     0,
     K1_0000 DEVICE_PARAMETERS},
    {"Key1WithoutParametersKey2LeftAlone", {{K1_0000}, {K2_0000 DEVICE_PARAMETERS}}, 1, L""},
    {"Key1UnreadableKey2Written",
     {{K1_0000 DEVICE_PARAMETERS}, {K2_0000 DEVICE_PARAMETERS}, {DEVICE_KEY_1, kNoRead}},
     0,
     K2_0000 DEVICE_PARAMETERS},
    {"Key1UnreadableKey2WithoutInstances", {{DEVICE_KEY_1, kNoRead}, {DEVICE_KEY_2}}, 1, L""},
    {"InstanceWithoutParametersSkipped",
     {{K1_0000}, {K1_0001 DEVICE_PARAMETERS}},
     0,
     K1_0001 DEVICE_PARAMETERS},
    {"FirstOfTwoQualifying",
     {{K1_0000 DEVICE_PARAMETERS}, {K1_0001 DEVICE_PARAMETERS}},
     0,
     K1_0000 DEVICE_PARAMETERS},
    {"UnreadableParametersSkipped",
     {{K1_0000 DEVICE_PARAMETERS, kNoRead}, {K1_0001 DEVICE_PARAMETERS}},
     0,
     K1_0001 DEVICE_PARAMETERS},
    {"ParametersRefuseWriting", {{K1_0000 DEVICE_PARAMETERS, kReadOnly}}, 1, L""},
    {"ParametersRefuseWritingNoFallback",
     {{K1_0000 DEVICE_PARAMETERS, kReadOnly}, {K1_0001 DEVICE_PARAMETERS}},
     1,
     L""},
    // The composed path holds at most 259 characters: 57 + 1 + 183 + 18 with
    // device key 1, 51 + 1 + 189 + 18 with device key 2.
    {"Key1LongestName",
     {{DEVICE_KEY_1 L"\\" + Repeat(L'a', 183) + DEVICE_PARAMETERS}},
     0,
     DEVICE_KEY_1 L"\\" + Repeat(L'a', 183) + DEVICE_PARAMETERS},
    {"Key1NameTooLong", {{DEVICE_KEY_1 L"\\" + Repeat(L'a', 184) + DEVICE_PARAMETERS}}, 1, L""},
    {"Key1NameTooLongSkipped",
     {{DEVICE_KEY_1 L"\\" + Repeat(L'a', 184) + DEVICE_PARAMETERS}, {DEVICE_KEY_1 L"\\b" DEVICE_PARAMETERS}},
     0,
     DEVICE_KEY_1 L"\\b" DEVICE_PARAMETERS},
    {"Key2LongestName",
     {{DEVICE_KEY_2 L"\\" + Repeat(L'a', 189) + DEVICE_PARAMETERS}},
     0,
     DEVICE_KEY_2 L"\\" + Repeat(L'a', 189) + DEVICE_PARAMETERS},
    {"Key2NameTooLong", {{DEVICE_KEY_2 L"\\" + Repeat(L'a', 190) + DEVICE_PARAMETERS}}, 1, L""},
};

INSTANTIATE_TEST_SUITE_P(Registry, LayoutTest, testing::ValuesIn(kLayoutCases),
                         CaseName());

// --- A value already there is replaced by the 4-byte REG_DWORD ---------------

struct FormerValue {
  const char* name;
  DWORD type;
  std::vector<BYTE> data;
};

class FormerValueTest : public RegistryTest, public testing::WithParamInterface<FormerValue> {};

TEST_P(FormerValueTest, ReplacedByDword) {
  const std::wstring parameters = K1_0000 DEVICE_PARAMETERS;
  Build({{parameters}});
  const auto& former = GetParam();
  SetValue(parameters, kValueName, former.type, former.data.data(), static_cast<DWORD>(former.data.size()));
  const Snapshot before = TakeSnapshot();

  ExpectOutcome(before, RunQuorvane(L"quorvane.exe"), 0, parameters, 0);
}

const FormerValue kFormerValues[] = {
    {"DwordOne", REG_DWORD, {1, 0, 0, 0}},
    {"String", REG_SZ, {'1', 0, 0, 0}},
    {"MultiString", REG_MULTI_SZ, {'0', 0, 0, 0, 0, 0}},
    {"EmptyBinary", REG_BINARY, {}},
    {"ShortBinary", REG_BINARY, {0, 0, 0}},
    {"LongBinary", REG_BINARY, std::vector<BYTE>(64, 0)},
    {"Qword", REG_QWORD, {0, 0, 0, 0, 0, 0, 0, 0}},
    {"BigEndianDword", REG_DWORD_BIG_ENDIAN, {0, 0, 0, 0}},
};

INSTANTIATE_TEST_SUITE_P(Registry, FormerValueTest, testing::ValuesIn(kFormerValues),
                         CaseName());

// --- The single-instance guard ------------------------------------------------

using GuardTest = RegistryTest;

TEST_F(GuardTest, TakenByAnotherProcessTurnsAwayWithoutWaiting) {
  Build({{K1_0000 DEVICE_PARAMETERS}});
  const Snapshot before = TakeSnapshot();
  HANDLE held = CreateMutexW(nullptr, TRUE, kGuardName);  // owned, so a waiting copy would hang
  ASSERT_NE(held, nullptr);

  ExpectOutcome(before, RunQuorvane(L"quorvane.exe -enable"), 2);

  ReleaseMutex(held);
  CloseHandle(held);
  ExpectOutcome(before, RunQuorvane(L"quorvane.exe -enable"), 0, K1_0000 DEVICE_PARAMETERS, 1);
}

TEST_F(GuardTest, NameTakenByAnEventTurnsAway) {
  Build({{K1_0000 DEVICE_PARAMETERS}});
  const Snapshot before = TakeSnapshot();
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, kGuardName);
  ASSERT_NE(event, nullptr);

  ExpectOutcome(before, RunQuorvane(L"quorvane.exe -enable"), 2);
  CloseHandle(event);
}

TEST_F(GuardTest, NoDeviceIsStatusOneEitherWay) {
  const Snapshot before = TakeSnapshot();
  ExpectOutcome(before, RunQuorvane(L"quorvane.exe"), 1);
  ExpectOutcome(before, RunQuorvane(L"quorvane.exe -enable"), 1);
}

}  // namespace
