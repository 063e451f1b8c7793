/* envrun PROGRAM-COMMAND-LINE: changes one environment variable, then starts
   the rest of its own command line (the exact bytes after its program name
   and one blank) and exits with that program's exit code (0xE0E0 when it
   cannot be started). Wine sets USERPROFILE and similar variables itself when
   a program is started from Linux, so a test that needs another value sets it
   here, between run_raw and the program under test:

     ENVRUN_SET    NAME=VALUE   sets NAME (the value may be empty)
     ENVRUN_UNSET  NAME         removes NAME */
#include <windows.h>

#include "common.h"
#include <string.h>

static char value[40000];

int main(void) {
  if (GetEnvironmentVariableA("ENVRUN_SET", value, sizeof value)) {
    char *equals = strchr(value, '=');
    if (equals != NULL) {
      *equals = '\0';
      SetEnvironmentVariableA(value, equals + 1);
    }
  }
  if (GetEnvironmentVariableA("ENVRUN_UNSET", value, sizeof value)) SetEnvironmentVariableA(value, NULL);
  SetEnvironmentVariableA("ENVRUN_SET", NULL);
  SetEnvironmentVariableA("ENVRUN_UNSET", NULL);

  char *p = GetCommandLineA();
  int quoted = 0;
  while (*p != '\0' && (quoted || (*p != ' ' && *p != '\t'))) {
    if (*p == '"') quoted = !quoted;
    ++p;
  }
  if (*p != '\0') ++p;
  DWORD code = 0;
  return RunChild(p, INFINITE, &code) == CHILD_EXITED ? (int)code : 0xE0E0;
}
