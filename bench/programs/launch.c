/* launch.exe COMMANDLINE...
   Records the time just before it starts COMMANDLINE (exactly as given) and
   the time the child ended, with its exit code, to the file named by
   BENCH_LAUNCH_OUT:  "launch NS\nend NS\nexit CODE\n". */
#include "common.h"

int main(void) {
  char *commandLine = ArgumentsAfter(GetCommandLineA(), 0);
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
  WaitForSingleObject(info.hProcess, INFINITE);
  long long ended = NowNs();
  DWORD code = 0;
  GetExitCodeProcess(info.hProcess, &code);
  snprintf(text, sizeof text, "launch %lld\nend %lld\nexit %lu\n", launched, ended, code);
  AppendRecord("BENCH_LAUNCH_OUT", text);
  return 0;
}
