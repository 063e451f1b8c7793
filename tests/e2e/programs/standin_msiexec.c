/* A recording stand-in for msiexec.exe, configured through the environment:

     STANDIN_DIR         folder for the records (required). Run N writes
                         run-N.cmd (the exact bytes of GetCommandLineA) and
                         run-N.txt (tab-separated facts, one a line).
     STANDIN_EXIT        exit codes by run, comma-separated, decimal or 0x hex;
                         the last one repeats (default 0).
     STANDIN_REG         ROOT\key|name|type|hexdata: a registry value to write
     STANDIN_REG_RUNS    on these runs only (comma-separated, default "1").
     STANDIN_WAIT_EVENT  milliseconds to wait for the named event (unset: no
                         wait); the wait also ends when the program that
                         started this one has ended ("event parent-ended"), as
                         nothing can signal the event then
     STANDIN_EVENT_NAME  the event's name (default VelmorTPZCabExtractWaitEvent)
     STANDIN_CHECK_FILES semicolon-separated file names looked up in the folder
                         of the package named by /i "..." once the wait is over;
                         each is recorded with its size and CRC-32 (as zlib's).
     STANDIN_BEFORE_CHECK a command line run (and waited for, up to 60 s) once
                         the wait is over, before the files are looked up:
                         "before EXITCODE" is recorded.
     STANDIN_WATCH       ROOT\key|name: a registry value recorded when the run
                         starts ("watch before ...") and when it ends ("watch after ...").
     STANDIN_PASS        pass-through: the full path of a real msiexec.exe, run
                         with this run's arguments (the command line after the
                         program name) once the steps above are done; its exit
                         code becomes this run's and STANDIN_EXIT is ignored.
     STANDIN_PASS_LOG    with STANDIN_PASS: adds /l*v "STANDIN_DIR\run-N.log" to
                         the real installer's command line (run-N.cmd keeps the
                         command line as received).

   Every run also records "system MAJOR MINOR BUILD", the system's true version
   (RtlGetVersion), which the rule that shows older images 6.2 does not change.

   A stand-in that cannot record exits with 0x5741 so that a test notices. */
#include <windows.h>
#include <tlhelp32.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common.h"

#define RECORD_FAILURE 0x5741u

static char infoPath[MAX_PATH + 32];

static void Fact(const char *format, ...) {
  va_list args;
  va_start(args, format);
  AppendLineV(infoPath, format, args);
  va_end(args);
}

static void RecordSystemVersion(void) {
  typedef LONG(WINAPI * RtlGetVersionFunction)(OSVERSIONINFOW *);
  RtlGetVersionFunction getVersion =
      (RtlGetVersionFunction)(void (*)(void))GetProcAddress(GetModuleHandleA("ntdll.dll"), "RtlGetVersion");
  OSVERSIONINFOW info = {0};
  info.dwOSVersionInfoSize = sizeof info;
  if (getVersion == NULL || getVersion(&info) != 0) {
    Fact("system\tunknown");
    return;
  }
  Fact("system\t%lu\t%lu\t%lu", info.dwMajorVersion, info.dwMinorVersion, info.dwBuildNumber);
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

static void WriteRegistry(const char *setting) {
  char copy[4096];
  snprintf(copy, sizeof copy, "%s", setting);
  char *parts[4] = {copy, NULL, NULL, NULL};
  for (int i = 1; i < 4; ++i) {
    char *bar = parts[i - 1] ? strchr(parts[i - 1], '|') : NULL;
    if (bar == NULL) {
      Fact("reg\tbad-setting");
      return;
    }
    *bar = '\0';
    parts[i] = bar + 1;
  }
  char *slash = strchr(parts[0], '\\');
  if (slash == NULL) {
    Fact("reg\tbad-setting");
    return;
  }
  *slash = '\0';
  REGSAM view;
  HKEY root = RootKeyByName(parts[0], &view);
  unsigned char data[2048];
  int size = HexDecode(parts[3], strlen(parts[3]), data, sizeof data);
  HKEY key;
  LONG result = ERROR_INVALID_PARAMETER;
  if (root != NULL && size >= 0 &&
      (result = RegCreateKeyExA(root, slash + 1, 0, NULL, 0, KEY_SET_VALUE | view, NULL, &key, NULL)) == ERROR_SUCCESS) {
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

/* The process that started this one, opened for waiting; NULL when it has
   ended or cannot be found. */
static HANDLE OpenParentProcess(void) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return NULL;
  DWORD self = GetCurrentProcessId(), parent = 0;
  PROCESSENTRY32 entry;
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
    if (entry.th32ProcessID == self) {
      parent = entry.th32ParentProcessID;
      break;
    }
  }
  CloseHandle(snapshot);
  return parent != 0 ? OpenProcess(SYNCHRONIZE, FALSE, parent) : NULL;
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
  DWORD result = initial;
  if (initial != WAIT_OBJECT_0) {
    /* A case can then give the wait room for a message box that a loaded
       machine is slow to show and dismiss, without waiting that long once
       the wrapper has ended. */
    HANDLE both[2] = {event, OpenParentProcess()};
    result = WaitForMultipleObjects(both[1] != NULL ? 2 : 1, both, FALSE, strtoul(timeoutText, NULL, 0));
    if (both[1] != NULL) CloseHandle(both[1]);
  }
  Fact("event\t%s\tinitial=%s\tms=%lu",
       result == WAIT_OBJECT_0 ? "signalled" : result == WAIT_OBJECT_0 + 1 ? "parent-ended"
       : result == WAIT_TIMEOUT ? "timeout" : "failed",
       initial == WAIT_OBJECT_0 ? "signalled" : "unsignalled", GetTickCount() - start);
  CloseHandle(event);
}

/* CRC-32 (the zlib polynomial) of a file's bytes; FALSE when it cannot be read. */
static BOOL HashFile(const char *path, unsigned long *hash) {
  static unsigned long table[256];
  if (table[1] == 0) {
    for (unsigned long n = 0; n < 256; ++n) {
      unsigned long c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      table[n] = c;
    }
  }
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                            OPEN_EXISTING, 0, NULL);
  if (file == INVALID_HANDLE_VALUE) return FALSE;
  unsigned long c = 0xFFFFFFFFu;
  static unsigned char buffer[65536];
  DWORD done = 0;
  BOOL ok;
  while ((ok = ReadFile(file, buffer, sizeof buffer, &done, NULL)) && done > 0) {
    for (DWORD i = 0; i < done; ++i) c = table[(c ^ buffer[i]) & 0xFF] ^ (c >> 8);
  }
  CloseHandle(file);
  *hash = (c ^ 0xFFFFFFFFu) & 0xFFFFFFFFu;
  return ok;
}

/* Records the watched value: "watch WHEN value TYPE HEX" or "watch WHEN absent ERROR". */
static void WatchValue(const char *setting, const char *when) {
  char copy[1024];
  snprintf(copy, sizeof copy, "%s", setting);
  char *bar = strchr(copy, '|');
  char *slash = strchr(copy, '\\');
  if (bar == NULL || slash == NULL || slash > bar) {
    Fact("watch\t%s\tbad-setting", when);
    return;
  }
  *bar = '\0';
  *slash = '\0';
  REGSAM view;
  HKEY root = RootKeyByName(copy, &view);
  HKEY key;
  LONG result = root == NULL ? ERROR_INVALID_PARAMETER : RegOpenKeyExA(root, slash + 1, 0, KEY_QUERY_VALUE | view, &key);
  if (result == ERROR_SUCCESS) {
    static unsigned char data[4096];
    static char hex[2 * sizeof data + 1];
    DWORD type = 0, size = sizeof data;
    result = RegQueryValueExA(key, bar + 1, NULL, &type, data, &size);
    RegCloseKey(key);
    if (result == ERROR_SUCCESS) {
      HexEncode(data, size, hex);
      Fact("watch\t%s\tvalue\t%lu\t%s", when, type, hex);
      return;
    }
  }
  Fact("watch\t%s\tabsent\t%ld", when, result);
}

/* The command line after the program name (quoted or not), from its first blank. */
static const char *ArgumentsOf(const char *commandLine) {
  const char *p = commandLine;
  if (*p == '"') {
    const char *end = strchr(p + 1, '"');
    p = end != NULL ? end + 1 : p + strlen(p);
  }
  while (*p != '\0' && *p != ' ' && *p != '\t') ++p;
  return p;
}

/* Runs the real installer with this run's arguments; returns its exit code. */
static DWORD PassThrough(const char *program, const char *commandLine, const char *dir, int run) {
  static char line[40000];
  int length = snprintf(line, sizeof line, "\"%s\"%s", program, ArgumentsOf(commandLine));
  char value[8];
  if (length > 0 && length < (int)sizeof line && GetEnvironmentVariableA("STANDIN_PASS_LOG", value, sizeof value)) {
    length += snprintf(line + length, sizeof line - (size_t)length, " /l*v \"%s\\run-%d.log\"", dir, run);
  }
  if (length <= 0 || length >= (int)sizeof line) {
    Fact("pass\ttoo-long");
    return RECORD_FAILURE;
  }
  Fact("pass\t%s", line);
  DWORD code = 0;
  if (RunChild(line, INFINITE, &code) != CHILD_EXITED) {
    Fact("pass\tnostart\t%lu", code);
    return RECORD_FAILURE;
  }
  return code;
}

/* Sizes are taken for all the files first, at once, and hashed afterwards, so
   that the sizes show the moment the wait ended. */
static void CheckFiles(const char *commandLine, const char *names) {
  char folder[MAX_PATH];
  PackageFolder(commandLine, folder, sizeof folder);
  Fact("folder\t%s", folder);
  static char copy[4096];
  static char *name[64];
  static long size[64];
  int count = 0;
  snprintf(copy, sizeof copy, "%s", names);
  for (char *n = strtok(copy, ";"); n != NULL && count < 64; n = strtok(NULL, ";")) {
    char path[2 * MAX_PATH];
    snprintf(path, sizeof path, "%s\\%s", folder, n);
    WIN32_FILE_ATTRIBUTE_DATA data;
    name[count] = n;
    size[count++] = GetFileAttributesExA(path, GetFileExInfoStandard, &data) ? (long)data.nFileSizeLow : -1;
  }
  for (int i = 0; i < count; ++i) {
    char path[2 * MAX_PATH];
    snprintf(path, sizeof path, "%s\\%s", folder, name[i]);
    unsigned long hash = 0;
    if (size[i] < 0) {
      Fact("file\t%s\t-1", name[i]);
    } else {
      if (!HashFile(path, &hash)) hash = 0;
      Fact("file\t%s\t%ld\t%08lx", name[i], size[i], hash);
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
  RecordSystemVersion();

  char value[4096];
  char runs[256];
  char watch[1024];
  BOOL watching = GetEnvironmentVariableA("STANDIN_WATCH", watch, sizeof watch) != 0;
  if (watching) WatchValue(watch, "before");
  if (GetEnvironmentVariableA("STANDIN_REG", value, sizeof value)) {
    if (!GetEnvironmentVariableA("STANDIN_REG_RUNS", runs, sizeof runs)) strcpy(runs, "1");
    if (ListContains(runs, run)) WriteRegistry(value);
  }
  if (GetEnvironmentVariableA("STANDIN_WAIT_EVENT", value, sizeof value)) WaitForEvent(value);
  if (GetEnvironmentVariableA("STANDIN_BEFORE_CHECK", value, sizeof value)) {
    DWORD before = 0;
    ChildOutcome outcome = RunChild(value, 60000, &before);
    if (outcome == CHILD_EXITED) Fact("before\t0x%08lx", before);
    else Fact("before\t%s\t%lu", outcome == CHILD_TIMED_OUT ? "timeout" : "nostart", before);
  }
  if (GetEnvironmentVariableA("STANDIN_CHECK_FILES", value, sizeof value)) CheckFiles(commandLine, value);

  DWORD code;
  if (GetEnvironmentVariableA("STANDIN_PASS", value, sizeof value)) {
    code = PassThrough(value, commandLine, dir, run);
  } else {
    char codeText[64] = "0";
    if (GetEnvironmentVariableA("STANDIN_EXIT", value, sizeof value)) ListItem(value, run - 1, codeText, sizeof codeText);
    code = strtoul(codeText, NULL, 0);
  }
  if (watching) WatchValue(watch, "after");
  Fact("exit\t0x%08lx", code);
  return (int)code;
}
