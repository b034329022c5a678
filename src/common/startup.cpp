// The process start-up, in place of a C runtime: the image imports only from
// kernel32 and advapi32 and runs nothing of its own before the entry or after
// it returns.
#include <windows.h>
#include <stddef.h>

#include "command_line.h"

int wmain(int argc, wchar_t** argv);

namespace {

// Not one of the entry's statuses: the entry did not run.
constexpr UINT kStartupFailed = 3;

// Protected (it has locals the stack protector guards), so it must not run
// before the guard is seeded; noinline keeps it out of the unprotected entry.
__attribute__((noinline)) UINT RunEntry() {
  const wchar_t* line = GetCommandLineW();
  const ArgumentSizes sizes = SplitCommandLine(line, nullptr, nullptr);
  // At most 32,767 characters: neither product can overflow.
  const SIZE_T bytes = (sizes.count + 1) * sizeof(wchar_t*) + sizes.characters * sizeof(wchar_t);
  // Freed by the process's end.
  void* block = HeapAlloc(GetProcessHeap(), 0, bytes);
  if (!block)
    return kStartupFailed;
  wchar_t** argv = static_cast<wchar_t**>(block);
  wchar_t* text = reinterpret_cast<wchar_t*>(argv + sizes.count + 1);
  SplitCommandLine(line, argv, text);
  return static_cast<UINT>(wmain(static_cast<int>(sizes.count), argv));
}

// Spreads each bit of its input over the result: the odd multiplier carries
// every bit upwards, the shift brings the high half down. Inputs that differ
// in a few low bits, as two processes' counters and IDs do, give guards that
// differ everywhere. Both steps are one-to-one, so no input is lost.
constexpr UINT64 Spread(UINT64 x) {
  x *= 0x9E3779B97F4A7C15;
  return x ^ (x >> 32);
}

// What differs between processes and between runs, as MSVC's start-up seeds
// its cookie: the time to 100 ns, the performance counter, the process and
// thread IDs, the uptime and where the stack was placed. Not RtlGenRandom:
// advapi32 forwards it to cryptbase.dll, which is not a KnownDLL, so the
// loader would look for cryptbase.dll beside the image before any of our code
// runs. Unprotected: it takes a local's address and runs before the guard is
// seeded.
__attribute__((no_stack_protector)) UINT_PTR GuardSeed() {
  FILETIME time;
  GetSystemTimeAsFileTime(&time);
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  const UINT64 inputs[] = {
      (UINT64{time.dwHighDateTime} << 32) | time.dwLowDateTime,
      static_cast<UINT64>(counter.QuadPart),
      (UINT64{GetCurrentProcessId()} << 32) | GetCurrentThreadId(),
      GetTickCount64(),
      reinterpret_cast<UINT_PTR>(&time),
  };
  UINT64 seed = 0;
  for (UINT64 input : inputs)
    seed = Spread(seed ^ input);
  // Never 0, the guard's value before seeding and what a zero-filling overrun
  // writes, at the cost of one bit.
  return seed | 1;
}

// DependentLoadFlags is Reserved1 in these headers; the offsets are those of
// the PE format's load configuration layout.
static_assert(offsetof(IMAGE_LOAD_CONFIG_DIRECTORY64, Reserved1) == 78);
static_assert(offsetof(IMAGE_LOAD_CONFIG_DIRECTORY64, SecurityCookie) == 88);

// The size ends the structure after SEHandlerCount, a size every 64-bit
// loader knows, and covers DependentLoadFlags. SecurityCookie stays 0: given
// our guard's address, the loader would take it for MSVC's cookie, expect
// MSVC's default value there and replace it (or, in newer loaders, refuse the
// image); the start-up seeds the guard itself.
constexpr IMAGE_LOAD_CONFIG_DIRECTORY64 LoadConfig() {
  IMAGE_LOAD_CONFIG_DIRECTORY64 config{};
  config.Size = sizeof config;
  config.Reserved1 = LOAD_LIBRARY_SEARCH_SYSTEM32;
  return config;
}

}  // namespace

extern "C" {

// The image's load configuration, which the build points the header's
// directory at. With DependentLoadFlags LOAD_LIBRARY_SEARCH_SYSTEM32 the
// loader of Windows 10 1607 and later resolves the image's static imports
// from System32 alone, never from the image's folder (Microsoft documents no
// more than that of forwarders: none is imported that leads outside KnownDLLs).
extern constexpr IMAGE_LOAD_CONFIG_DIRECTORY64 _load_config_used = LoadConfig();

// The stack protector's reference value, compared at every protected return.
// It must differ per process, so the start-up seeds it before any protected
// function runs.
UINT_PTR __stack_chk_guard;

// A protected function found its frame overwritten. Returning would resume the
// corrupted frame, so end the process without running any handler.
[[noreturn]] void __stack_chk_fail() {
  if (IsProcessorFeaturePresent(PF_FASTFAIL_AVAILABLE))
    __asm__ volatile("int $0x29" : : "c"(FAST_FAIL_STACK_COOKIE_CHECK_FAILURE) : "memory");
  TerminateProcess(GetCurrentProcess(), STATUS_STACK_BUFFER_OVERRUN);
  __builtin_trap();
}

// The compiler emits calls to memset for zero-filled arrays and to memcpy for
// copies of large structures, and no C runtime provides them. A plain loop
// could itself be turned back into such a call.
void* memset(void* destination, int value, size_t count) {
  void* d = destination;
  __asm__ volatile("rep stosb" : "+D"(d), "+c"(count) : "a"(value) : "memory");
  return destination;
}

void* memcpy(void* destination, const void* source, size_t count) {
  void* d = destination;
  __asm__ volatile("rep movsb" : "+D"(d), "+S"(source), "+c"(count) : : "memory");
  return destination;
}

// The image's entry point (see the link options).
__attribute__((no_stack_protector)) void ProcessStart() {
  __stack_chk_guard = GuardSeed();
  ExitProcess(RunEntry());
}

}  // extern "C"
