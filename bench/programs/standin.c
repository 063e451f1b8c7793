/* A stand-in for msiexec.exe that records when it started and when the
   cabinets-ready event was set, to the file named by BENCH_STANDIN_OUT:
     start NS / ready NS (or "noevent") / cmd COMMANDLINE
     parentmem PEAK_PRIVATE PRIVATE PEAK_WORKING_SET WORKING_SET (bytes, by GetProcessMemoryInfo)
   With BENCH_HOLD set to a Windows file name, it then stays until that file
   exists (at most 60 s), so that the Linux side can read the parent's
   /proc/PID/status while the parent is still alive. Exit code 0. */
#include "common.h"
#include <psapi.h>
#include <tlhelp32.h>

static DWORD ParentId(void) {
  DWORD self = GetCurrentProcessId(), parent = 0;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  PROCESSENTRY32 entry;
  ZeroMemory(&entry, sizeof entry);
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
    if (entry.th32ProcessID == self) parent = entry.th32ParentProcessID;
  }
  CloseHandle(snapshot);
  return parent;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR args, int show) {
  (void)instance; (void)previous; (void)args; (void)show;
  long long started = NowNs();
  static char text[70000];
  int length = 0;
  HANDLE event = OpenEventA(SYNCHRONIZE, FALSE, "VelmorTPZCabExtractWaitEvent");
  if (event != NULL && WaitForSingleObject(event, 120000) == WAIT_OBJECT_0) {
    long long ready = NowNs();
    length = snprintf(text, sizeof text, "start %lld\nready %lld\n", started, ready);
  } else {
    length = snprintf(text, sizeof text, "start %lld\nnoevent\n", started);
  }
  HANDLE parent = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, ParentId());
  PROCESS_MEMORY_COUNTERS counters;
  ZeroMemory(&counters, sizeof counters);
  counters.cb = sizeof counters;
  if (parent != NULL && GetProcessMemoryInfo(parent, &counters, sizeof counters)) {
    length += snprintf(text + length, sizeof text - length, "parentmem %lu %lu %lu %lu\n",
                       (unsigned long)counters.PeakPagefileUsage, (unsigned long)counters.PagefileUsage,
                       (unsigned long)counters.PeakWorkingSetSize, (unsigned long)counters.WorkingSetSize);
  }
  if (parent != NULL) CloseHandle(parent);
  snprintf(text + length, sizeof text - length, "cmd %s\n", GetCommandLineA());
  AppendRecord("BENCH_STANDIN_OUT", text);
  char hold[MAX_PATH];
  DWORD holdLength = GetEnvironmentVariableA("BENCH_HOLD", hold, sizeof hold);
  if (holdLength != 0 && holdLength < sizeof hold) {
    for (int i = 0; i < 30000 && GetFileAttributesA(hold) == INVALID_FILE_ATTRIBUTES; ++i) Sleep(2);
  }
  if (event != NULL) CloseHandle(event);
  return 0;
}
