/* A recording stand-in for msiexec.exe, configured through the environment:

     STANDIN_DIR         folder for the records (required). Run N writes
                         run-N.cmd (the exact bytes of GetCommandLineA) and
                         run-N.txt (tab-separated facts, one a line).
     STANDIN_EXIT        exit codes by run, comma-separated, decimal or 0x hex;
                         the last one repeats (default 0).
     STANDIN_REG         ROOT\key|name|type|hexdata: a registry value to write
     STANDIN_REG_RUNS    on these runs only (comma-separated, default "1").
     STANDIN_WAIT_EVENT  milliseconds to wait for the named event (unset: no wait)
     STANDIN_EVENT_NAME  the event's name (default VelmorTPZCabExtractWaitEvent)
     STANDIN_CHECK_FILES semicolon-separated file names looked up in the folder
                         of the package named by /i "..." once the wait is over.

   A stand-in that cannot record exits with 0x5741 so that a test notices. */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common.h"

#define RECORD_FAILURE 0x5741u

static char infoPath[MAX_PATH + 32];

static void Fact(const char *format, ...) {
  char line[4096];
  va_list args;
  va_start(args, format);
  int length = vsnprintf(line, sizeof line - 1, format, args);
  va_end(args);
  if (length < 0 || length > (int)sizeof line - 2) length = (int)sizeof line - 2;
  line[length++] = '\n';
  AppendToFile(infoPath, line, (DWORD)length);
}

/* The index-th item (0-based) of a comma list, or the last one when there are fewer. */
static void ListItem(const char *list, int index, char *out, size_t capacity) {
  const char *start = list;
  for (int i = 0; i < index; ++i) {
    const char *comma = strchr(start, ',');
    if (comma == NULL) break;
    start = comma + 1;
  }
  size_t length = strcspn(start, ",");
  if (length >= capacity) length = capacity - 1;
  memcpy(out, start, length);
  out[length] = '\0';
}

static BOOL ListContains(const char *list, int value) {
  for (const char *p = list; *p != '\0';) {
    if (atoi(p) == value) return TRUE;
    const char *comma = strchr(p, ',');
    if (comma == NULL) break;
    p = comma + 1;
  }
  return FALSE;
}

static void WriteRegistry(const char *spec) {
  char copy[4096];
  snprintf(copy, sizeof copy, "%s", spec);
  char *parts[4] = {copy, NULL, NULL, NULL};
  for (int i = 1; i < 4; ++i) {
    char *bar = parts[i - 1] ? strchr(parts[i - 1], '|') : NULL;
    if (bar == NULL) {
      Fact("reg\tbad-spec");
      return;
    }
    *bar = '\0';
    parts[i] = bar + 1;
  }
  char *slash = strchr(parts[0], '\\');
  if (slash == NULL) {
    Fact("reg\tbad-spec");
    return;
  }
  *slash = '\0';
  HKEY root = RootKeyByName(parts[0]);
  unsigned char data[2048];
  int size = HexDecode(parts[3], strlen(parts[3]), data, sizeof data);
  HKEY key;
  LONG result = ERROR_INVALID_PARAMETER;
  if (root != NULL && size >= 0 &&
      (result = RegCreateKeyExA(root, slash + 1, 0, NULL, 0, KEY_SET_VALUE, NULL, &key, NULL)) == ERROR_SUCCESS) {
    result = RegSetValueExA(key, parts[1], 0, strtoul(parts[2], NULL, 0), data, (DWORD)size);
    RegCloseKey(key);
  }
  Fact("reg\t%ld", result);
}

/* The folder of the package named after /i in double quotes, or "" when none. */
static void PackageFolder(const char *commandLine, char *out, size_t capacity) {
  out[0] = '\0';
  const char *start = strstr(commandLine, " /i \"");
  if (start == NULL) return;
  start += 5;
  const char *end = strchr(start, '"');
  if (end == NULL || (size_t)(end - start) >= capacity) return;
  memcpy(out, start, (size_t)(end - start));
  out[end - start] = '\0';
  char *slash = strrchr(out, '\\');
  if (slash != NULL) *slash = '\0';
}

static void WaitForEvent(const char *timeoutText) {
  char name[256];
  if (!GetEnvironmentVariableA("STANDIN_EVENT_NAME", name, sizeof name)) {
    strcpy(name, "VelmorTPZCabExtractWaitEvent");
  }
  HANDLE event = OpenEventA(SYNCHRONIZE, FALSE, name);
  if (event == NULL) {
    Fact("event\tmissing\t%lu", GetLastError());
    return;
  }
  DWORD start = GetTickCount();
  DWORD initial = WaitForSingleObject(event, 0);
  DWORD result = initial == WAIT_OBJECT_0 ? initial : WaitForSingleObject(event, strtoul(timeoutText, NULL, 0));
  Fact("event\t%s\tinitial=%s\tms=%lu", result == WAIT_OBJECT_0 ? "signalled" : result == WAIT_TIMEOUT ? "timeout" : "failed",
       initial == WAIT_OBJECT_0 ? "signalled" : "unsignalled", GetTickCount() - start);
  CloseHandle(event);
}

static void CheckFiles(const char *commandLine, const char *names) {
  char folder[MAX_PATH];
  PackageFolder(commandLine, folder, sizeof folder);
  Fact("folder\t%s", folder);
  char copy[4096];
  snprintf(copy, sizeof copy, "%s", names);
  for (char *name = strtok(copy, ";"); name != NULL; name = strtok(NULL, ";")) {
    char path[2 * MAX_PATH];
    snprintf(path, sizeof path, "%s\\%s", folder, name);
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (GetFileAttributesExA(path, GetFileExInfoStandard, &data)) {
      Fact("file\t%s\t%lu", name, data.nFileSizeLow);
    } else {
      Fact("file\t%s\t-1", name);
    }
  }
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR ignored, int show) {
  (void)instance;
  (void)previous;
  (void)ignored;
  (void)show;
  const char *commandLine = GetCommandLineA();
  char dir[MAX_PATH];
  DWORD length = GetEnvironmentVariableA("STANDIN_DIR", dir, sizeof dir);
  if (length == 0 || length >= sizeof dir) return RECORD_FAILURE;

  /* The first free number is this run's: CREATE_NEW makes the claim atomic. */
  int run = 0;
  HANDLE file = INVALID_HANDLE_VALUE;
  char path[MAX_PATH + 32];
  for (run = 1; run < 10000; ++run) {
    snprintf(path, sizeof path, "%s\\run-%d.cmd", dir, run);
    file = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) break;
  }
  if (file == INVALID_HANDLE_VALUE) return RECORD_FAILURE;
  DWORD done = 0;
  BOOL ok = WriteFile(file, commandLine, (DWORD)strlen(commandLine), &done, NULL);
  CloseHandle(file);
  if (!ok) return RECORD_FAILURE;
  snprintf(infoPath, sizeof infoPath, "%s\\run-%d.txt", dir, run);
  Fact("run\t%d", run);

  char value[4096];
  char runs[256];
  if (GetEnvironmentVariableA("STANDIN_REG", value, sizeof value)) {
    if (!GetEnvironmentVariableA("STANDIN_REG_RUNS", runs, sizeof runs)) strcpy(runs, "1");
    if (ListContains(runs, run)) WriteRegistry(value);
  }
  if (GetEnvironmentVariableA("STANDIN_WAIT_EVENT", value, sizeof value)) WaitForEvent(value);
  if (GetEnvironmentVariableA("STANDIN_CHECK_FILES", value, sizeof value)) CheckFiles(commandLine, value);

  char codeText[64] = "0";
  if (GetEnvironmentVariableA("STANDIN_EXIT", value, sizeof value)) ListItem(value, run - 1, codeText, sizeof codeText);
  DWORD code = strtoul(codeText, NULL, 0);
  Fact("exit\t0x%08lx", code);
  return (int)code;
}
