/* launch.exe COMMANDLINE...
   Records the time just before it starts COMMANDLINE (exactly as given) and
   the time the child ended, with its exit code, to the file named by
   BENCH_LAUNCH_OUT:  "launch NS\nend NS\nexit CODE\n".
   With BENCH_WATCH_EVENT set (to anything), it also records when it saw the
   cabinets-ready event set ("eventset NS", before "end"): it looks for the
   event every millisecond until the child has created it, then waits for the
   event or the child's end, whichever comes first. */
#include "common.h"

#define READY_EVENT "VelmorTPZCabExtractWaitEvent"

/* The moment the ready event was seen set, or 0 when the child ended first. */
static long long WatchReadyEvent(HANDLE child) {
  HANDLE event = NULL;
  for (;;) {
    event = OpenEventA(SYNCHRONIZE, FALSE, READY_EVENT);
    if (event != NULL || WaitForSingleObject(child, 1) != WAIT_TIMEOUT) break;
  }
  if (event == NULL) return 0;
  HANDLE both[2] = {event, child};
  long long seen = 0;
  if (WaitForMultipleObjects(2, both, FALSE, INFINITE) == WAIT_OBJECT_0) seen = NowNs();
  CloseHandle(event);
  return seen;
}

int main(void) {
  char *commandLine = ArgumentsAfter(GetCommandLineA(), 0);
  BOOL watch = GetEnvironmentVariableA("BENCH_WATCH_EVENT", NULL, 0) != 0;
  STARTUPINFOA startup;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info;
  char text[256];
  long long launched = NowNs();
  if (!CreateProcessA(NULL, commandLine, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &info)) {
    snprintf(text, sizeof text, "nostart %lu\n", GetLastError());
    AppendRecord("BENCH_LAUNCH_OUT", text);
    return 2;
  }
  long long eventSet = watch ? WatchReadyEvent(info.hProcess) : 0;
  WaitForSingleObject(info.hProcess, INFINITE);
  long long ended = NowNs();
  DWORD code = 0;
  GetExitCodeProcess(info.hProcess, &code);
  int length = snprintf(text, sizeof text, "launch %lld\n", launched);
  if (eventSet != 0) length += snprintf(text + length, sizeof text - length, "eventset %lld\n", eventSet);
  snprintf(text + length, sizeof text - length, "end %lld\nexit %lu\n", ended, code);
  AppendRecord("BENCH_LAUNCH_OUT", text);
  return 0;
}
