/* For tools/bench.py: starts the program given, waits until its window stands and its message
 * loop first waits for input (WaitForInputIdle), prints the milliseconds that took, and ends
 * the program. The UI driver polls for windows, too coarsely to time a start. */
#include <windows.h>
#include <stdio.h>

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    fputs("usage: start_timer PROGRAM\n", stderr);
    return 2;
  }
  STARTUPINFOW startup = {sizeof startup};
  PROCESS_INFORMATION process;
  LARGE_INTEGER frequency, started, idle;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&started);
  if (!CreateProcessW(argv[1], NULL, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) {
    fprintf(stderr, "CreateProcess failed: %lu\n", GetLastError());
    return 1;
  }
  const DWORD waited = WaitForInputIdle(process.hProcess, 60000);
  QueryPerformanceCounter(&idle);
  TerminateProcess(process.hProcess, 0);
  WaitForSingleObject(process.hProcess, INFINITE);
  if (waited != 0) {
    fprintf(stderr, "WaitForInputIdle gave %lu\n", waited);
    return 1;
  }
  printf("%.3f\n", (double)(idle.QuadPart - started.QuadPart) * 1000.0 / (double)frequency.QuadPart);
  return 0;
}
