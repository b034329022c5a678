// The start-up: command-line splitting and the exit status, checked against
// the documented examples, against the platform's CommandLineToArgvW, and end
// to end through a program built on the same start-up.
#include "support.h"

#include <shellapi.h>

#include <random>

#include "../../src/common/command_line.h"
#include "arguments_hash.h"

namespace {

using Arguments = std::vector<std::wstring>;

Arguments Split(const std::wstring& line) {
  const ArgumentSizes sizes = SplitCommandLine(line.c_str(), nullptr, nullptr);
  // Guard cells after each area catch a fill that outgrows its measure.
  constexpr wchar_t kGuard = 0xFDFD;
  std::vector<wchar_t*> argv(sizes.count + 2, nullptr);
  argv.back() = reinterpret_cast<wchar_t*>(&argv);
  std::vector<wchar_t> text(sizes.characters + 1, kGuard);
  const ArgumentSizes filled = SplitCommandLine(line.c_str(), argv.data(), text.data());
  EXPECT_EQ(filled.count, sizes.count);
  EXPECT_EQ(filled.characters, sizes.characters);
  EXPECT_EQ(argv[sizes.count], nullptr) << "the vector ends with a null pointer";
  EXPECT_EQ(argv.back(), reinterpret_cast<wchar_t*>(&argv)) << "wrote past the vector";
  EXPECT_EQ(text.back(), kGuard) << "wrote past the text";
  return Arguments(argv.begin(), argv.begin() + static_cast<ptrdiff_t>(sizes.count));
}

Arguments PlatformSplit(const std::wstring& line) {
  int count = 0;
  wchar_t** argv = CommandLineToArgvW(line.c_str(), &count);
  Arguments arguments(argv, argv + count);
  LocalFree(argv);
  return arguments;
}

std::wstring Show(const Arguments& arguments) {
  std::wstring text;
  for (const auto& argument : arguments)
    text += L"[" + argument + L"]";
  return text;
}

unsigned Hash(const Arguments& arguments) {
  std::vector<const wchar_t*> argv;
  for (const auto& argument : arguments)
    argv.push_back(argument.c_str());
  return ArgumentsHash(static_cast<int>(argv.size()), argv.data());
}

DWORD RunProbe(const std::wstring& commandLine) {
  return RunProgram(ProgramPath(L"probe.exe"), commandLine);
}

// Command lines of blanks, quotes, backslashes and letters after a plain program name.
std::vector<std::wstring> GeneratedLines(size_t count) {
  static const wchar_t kAlphabet[] = L" \t\"\\ab";
  std::mt19937 random(20261208);
  std::vector<std::wstring> lines;
  for (size_t i = 0; i < count; ++i) {
    std::wstring line = L"probe.exe ";
    for (size_t length = random() % 24; length; --length)
      line += kAlphabet[random() % 6];
    lines.push_back(line);
  }
  return lines;
}

struct SplitCase {
  const wchar_t* line;
  Arguments expected;
};

// The documented examples, each after a program name, and the program name's own rules.
const SplitCase kSplitCases[] = {
    {LR"(p "a b c" d e)", {L"p", L"a b c", L"d", L"e"}},
    {LR"(p "ab\"c" "\\" d)", {L"p", L"ab\"c", L"\\", L"d"}},
    {LR"(p a\\\b d"e f"g h)", {L"p", LR"(a\\\b)", L"de fg", L"h"}},
    {LR"(p a\\\"b c d)", {L"p", LR"(a\"b)", L"c", L"d"}},
    {LR"(p a\\\\"b c" d e)", {L"p", LR"(a\\b c)", L"d", L"e"}},
    {LR"(p a"b"" c d)", {L"p", L"ab\"", L"c", L"d"}},
    {LR"(p "a""b")", {L"p", L"a\"b"}},
    {LR"(p "a"""b")", {L"p", L"a\"b"}},
    {LR"(p "a""""b")", {L"p", L"a\"b"}},
    {LR"(p "a"""""b")", {L"p", L"a\"\"b"}},
    {LR"(p "unterminated quote)", {L"p", L"unterminated quote"}},
    {LR"(p "" x)", {L"p", L"", L"x"}},
    {L"p\t a\t\t", {L"p", L"a"}},
    {LR"("C:\Program Files\q.exe" -enable)", {LR"(C:\Program Files\q.exe)", L"-enable"}},
    {LR"(C:\dir\"q r"\x.exe y)", {LR"(C:\dir\q r\x.exe)", L"y"}},
    {LR"(C:\dir\\ y)", {LR"(C:\dir\\)", L"y"}},
    {L"", {L""}},
    {L"  x", {L"", L"x"}},
};

TEST(CommandLine, SplitsDocumentedExamples) {
  for (const auto& c : kSplitCases)
    EXPECT_EQ(Show(Split(c.line)), Show(c.expected)) << "splitting " << c.line;
}

TEST(CommandLine, AgreesWithPlatform) {
  for (const auto& line : GeneratedLines(600))
    EXPECT_EQ(Show(Split(line)), Show(PlatformSplit(line))) << "splitting " << line;
}

TEST(CommandLine, SplitsLongestLines) {
  const size_t kLongest = 32767 - 1;  // the platform's limit, terminator included
  const std::wstring name = L"p ";
  const std::vector<std::wstring> lines = {
      name + std::wstring(kLongest - name.size(), L'x'),
      name + std::wstring(kLongest - name.size(), L' '),
      name + std::wstring(kLongest - name.size(), L'"'),
      name + std::wstring(kLongest - name.size(), L'\\'),
  };
  std::wstring manyArguments = name;
  while (manyArguments.size() + 2 <= kLongest)
    manyArguments += L"a ";
  for (const auto& line : {lines[0], lines[1], lines[2], lines[3], manyArguments}) {
    const Arguments arguments = Split(line);
    EXPECT_TRUE(arguments == PlatformSplit(line)) << "a line of " << line.size() << " characters starting "
                                                  << line.substr(0, 8);
  }
}

// --- Through the real start-up of a program --------------------------------------

TEST(Startup, DeliversArgumentsToEntry) {
  std::vector<std::wstring> lines = GeneratedLines(40);
  for (const auto& c : kSplitCases) {
    if (std::wstring(c.line).rfind(L"p ", 0) == 0)
      lines.push_back(L"probe.exe" + std::wstring(c.line + 1));
  }
  lines.push_back(L"probe.exe " + std::wstring(32700, L'z'));
  for (const auto& line : lines) {
    EXPECT_EQ(RunProbe(line), Hash(PlatformSplit(line))) << "command line " << line.substr(0, 80);
  }
}

TEST(Startup, ExitStatusIsEntryResult) {
  for (DWORD status : {0u, 1u, 2u, 3u, 255u, 256u, 0x7FFFFFFFu, 0x80000000u, 0xC0000005u, 0xFFFFFFFFu})
    EXPECT_EQ(RunProbe(L"probe.exe status " + std::to_wstring(status)), status);
}

}  // namespace

namespace {

// --- Stack protection, seeded by the start-up ---------------------------------

TEST(StackProtector, OverrunEndsWithFastFail) {
  EXPECT_EQ(RunProbe(L"probe.exe overrun 8"), static_cast<DWORD>('x')) << "within bounds it returns normally";
  for (const wchar_t* length : {L"16", L"64", L"512"})
    EXPECT_EQ(RunProbe(std::wstring(L"probe.exe overrun ") + length), static_cast<DWORD>(STATUS_STACK_BUFFER_OVERRUN))
        << "overrun by " << length << " bytes";
}

TEST(StackProtector, GuardIsRandomPerProcess) {
  const DWORD first = RunProbe(L"probe.exe guard");
  const DWORD second = RunProbe(L"probe.exe guard");
  EXPECT_NE(first, 0u);
  EXPECT_NE(first, second) << "two processes saw the same guard";
}

}  // namespace
