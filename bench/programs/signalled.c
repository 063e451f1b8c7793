/* signalled.exe COMMANDLINE...
   Creates the cabinets-ready event already set, keeps it open, starts
   COMMANDLINE and waits for it: the installer with WRAPPER=1 and nothing to
   wait for, started through a parent process, as the wrapper starts it. */
#include "common.h"

int main(void) {
  HANDLE event = CreateEventA(NULL, TRUE, TRUE, "VelmorTPZCabExtractWaitEvent");
  STARTUPINFOA startup;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info;
  DWORD code = 1;
  if (event != NULL && SetEvent(event) &&
      CreateProcessA(NULL, ArgumentsAfter(GetCommandLineA(), 0), NULL, NULL, FALSE, 0, NULL, NULL,
                     &startup, &info)) {
    WaitForSingleObject(info.hProcess, INFINITE);
    GetExitCodeProcess(info.hProcess, &code);
  }
  return (int)code;
}
