/* Shared by the benchmark's small Windows programs: time stamps and records. */
#include <windows.h>
#include <stdio.h>

/* QueryPerformanceCounter in nanoseconds. Under Wine the counter is the Linux
   monotonic clock, so stamps of different processes (and of the Linux side,
   time.monotonic_ns) can be compared. */
static inline long long NowNs(void) {
  LARGE_INTEGER count, frequency;
  QueryPerformanceCounter(&count);
  QueryPerformanceFrequency(&frequency);
  return (long long)((double)count.QuadPart * 1e9 / (double)frequency.QuadPart);
}

/* Appends text to the file named by the environment variable; false when unset. */
static inline BOOL AppendRecord(const char *variable, const char *text) {
  char path[MAX_PATH];
  DWORD length = GetEnvironmentVariableA(variable, path, sizeof path);
  if (length == 0 || length >= sizeof path) return FALSE;
  HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ, NULL, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) return FALSE;
  DWORD written = 0;
  BOOL ok = WriteFile(file, text, (DWORD)lstrlenA(text), &written, NULL);
  CloseHandle(file);
  return ok;
}

/* The raw command line after the program's own name (and one more argument when skip is 1). */
static inline char *ArgumentsAfter(char *line, int skip) {
  for (int i = 0; i <= skip; ++i) {
    while (*line == ' ' || *line == '\t') ++line;
    BOOL quoted = FALSE;
    for (; *line != '\0'; ++line) {
      if (*line == '"') quoted = !quoted;
      else if (!quoted && (*line == ' ' || *line == '\t')) break;
    }
  }
  while (*line == ' ' || *line == '\t') ++line;
  return line;
}
