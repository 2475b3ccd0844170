// The image's entry point: seeds the stack protector's guard, then starts the C runtime.
// libssp would seed it from CryptGenRandom, which loads the crypto provider and two more DLLs
// on every start; RtlGenRandom is in advapi32, which the program loads anyway. Built without
// the stack protector: nothing may check a canary across the guard's change.
#include <windows.h>
#include <ntsecapi.h>

#include <cstdint>
#include <cstdlib>

extern "C" {

// Read by every protected function's prologue and epilogue.
void* __stack_chk_guard = nullptr;

// A canary overwritten: end at once, as Windows' own stack check does, running nothing more.
[[noreturn]] void __stack_chk_fail() {
  TerminateProcess(GetCurrentProcess(), STATUS_STACK_BUFFER_OVERRUN);
  __builtin_unreachable();
}

int WinMainCRTStartup();  // the Unicode one, with -municode

int SetupEntry() {
  std::uintptr_t guard = 0;
  if (!RtlGenRandom(&guard, sizeof guard) || guard == 0) {
    // Never seen to fail; still no guard anyone could know.
    LARGE_INTEGER counter{};
    QueryPerformanceCounter(&counter);
    guard ^= static_cast<std::uintptr_t>(counter.QuadPart) ^ GetTickCount() ^ GetCurrentProcessId() ^
             (static_cast<std::uintptr_t>(GetCurrentThreadId()) << 16) ^ reinterpret_cast<std::uintptr_t>(&counter);
    guard |= 1;
  }
  __stack_chk_guard = reinterpret_cast<void*>(guard);
  return WinMainCRTStartup();
}

}  // extern "C"

// An exception nothing caught ends the program as abort() does. libstdc++'s own handler would
// first write the exception's demangled type to a console this program does not have, and
// brings a C++ demangler and printf into the image for it.
namespace __gnu_cxx {
void __verbose_terminate_handler() {
  std::abort();
}
}  // namespace __gnu_cxx
