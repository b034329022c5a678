// The process start-up, in place of a C runtime: the image imports only from
// kernel32 and advapi32 and runs nothing of its own before the entry or after
// it returns.
#include <windows.h>
#include <ntsecapi.h>

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

}  // namespace

extern "C" {

// The stack protector's reference value, compared at every protected return.
// It must differ per process, so it is seeded from the operating system's
// random generator before any protected function runs.
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
  if (!RtlGenRandom(&__stack_chk_guard, sizeof __stack_chk_guard))
    ExitProcess(kStartupFailed);
  ExitProcess(RunEntry());
}

}  // extern "C"
