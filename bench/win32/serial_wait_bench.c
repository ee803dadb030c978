/*
 * CPU cost of waiting for a reader that never answers, through the Win32
 * serial backend: opens COM PORT (mapped to a silent kx-sim) with
 * KXReaderInitTest, then asks for the card status until SECONDS have passed;
 * every query waits out the 2 s power-on limit. Prints the process CPU time
 * (user + kernel, from GetProcessTimes) as a share of one core.
 *
 *   serial_wait_bench DLL PORT [SECONDS]
 */
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

typedef int(__stdcall* ReaderInitTestFn)(int, int);
typedef int(__stdcall* ReaderStatusFn)(int, char*);

static double CpuMs(void) {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0.0;
  ULARGE_INTEGER k, u;
  k.LowPart = kernel.dwLowDateTime;
  k.HighPart = kernel.dwHighDateTime;
  u.LowPart = user.dwLowDateTime;
  u.HighPart = user.dwHighDateTime;
  return (double)(k.QuadPart + u.QuadPart) / 10000.0;
}

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: serial_wait_bench DLL PORT [SECONDS]\n");
    return 2;
  }
  const int port = atoi(argv[2]);
  const DWORD seconds = argc > 3 ? (DWORD)atoi(argv[3]) : 5;
  HMODULE dll = LoadLibraryA(argv[1]);
  if (dll == NULL) {
    fprintf(stderr, "cannot load %s\n", argv[1]);
    return 1;
  }
  ReaderInitTestFn initTest =
      (ReaderInitTestFn)(void (*)(void))GetProcAddress(dll, "KXReaderInitTest");
  ReaderStatusFn status = (ReaderStatusFn)(void (*)(void))GetProcAddress(dll, "GetReaderStatus");
  if (initTest == NULL || status == NULL || initTest(port, 9600) != 0) {
    fprintf(stderr, "cannot open COM%d\n", port);
    return 1;
  }
  const double cpuStart = CpuMs();
  const DWORD start = GetTickCount();
  int queries = 0;
  int timeouts = 0;
  while (GetTickCount() - start < seconds * 1000) {
    char c = 0;
    if (status(0, &c) == -4) timeouts++;
    queries++;
  }
  const DWORD wallMs = GetTickCount() - start;
  const double cpuMs = CpuMs() - cpuStart;
  printf(
      "serial_wait_bench: %d status queries (%d timed out) in %lu ms wall, %.0f ms CPU: "
      "%.2f %% of one core\n",
      queries, timeouts, wallMs, cpuMs, wallMs ? 100.0 * cpuMs / (double)wallMs : 0.0);
  return timeouts == queries ? 0 : 1;
}
