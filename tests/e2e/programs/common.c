#include "common.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

int HexDecode(const char *hex, size_t hexLength, unsigned char *out, size_t capacity) {
  if (hexLength % 2 != 0 || hexLength / 2 > capacity) return -1;
  for (size_t i = 0; i < hexLength; i += 2) {
    int hi = HexDigit(hex[i]), lo = HexDigit(hex[i + 1]);
    if (hi < 0 || lo < 0) return -1;
    out[i / 2] = (unsigned char)(hi * 16 + lo);
  }
  return (int)(hexLength / 2);
}

void HexEncode(const void *data, size_t count, char *out) {
  static const char digits[] = "0123456789abcdef";
  const unsigned char *p = (const unsigned char *)data;
  for (size_t i = 0; i < count; ++i) {
    out[2 * i] = digits[p[i] >> 4];
    out[2 * i + 1] = digits[p[i] & 15];
  }
  out[2 * count] = '\0';
}

HKEY RootKeyByName(const char *name, REGSAM *view) {
  *view = 0;
  if (strcmp(name, "HKLM32") == 0) {
    *view = KEY_WOW64_32KEY;
    return HKEY_LOCAL_MACHINE;
  }
  if (strcmp(name, "HKLM64") == 0) {
    *view = KEY_WOW64_64KEY;
    return HKEY_LOCAL_MACHINE;
  }
  if (strcmp(name, "HKLM") == 0) return HKEY_LOCAL_MACHINE;
  if (strcmp(name, "HKCU") == 0) return HKEY_CURRENT_USER;
  if (strcmp(name, "HKCR") == 0) return HKEY_CLASSES_ROOT;
  if (strcmp(name, "HKU") == 0) return HKEY_USERS;
  return NULL;
}

char *ReadWholeFile(const char *path, DWORD *size) {
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
  if (file == INVALID_HANDLE_VALUE) return NULL;
  DWORD length = GetFileSize(file, NULL);
  char *buffer = (char *)malloc(length + 1);
  DWORD done = 0;
  if (buffer == NULL || !ReadFile(file, buffer, length, &done, NULL) || done != length) {
    free(buffer);
    CloseHandle(file);
    return NULL;
  }
  CloseHandle(file);
  buffer[length] = '\0';
  if (size != NULL) *size = length;
  return buffer;
}

BOOL AppendToFile(const char *path, const void *bytes, DWORD count) {
  HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ, NULL, OPEN_ALWAYS, 0, NULL);
  if (file == INVALID_HANDLE_VALUE) return FALSE;
  DWORD done = 0;
  BOOL ok = WriteFile(file, bytes, count, &done, NULL) && done == count;
  CloseHandle(file);
  return ok;
}

void AppendLineV(const char *path, const char *format, va_list args) {
  static char line[70000];
  int length = vsnprintf(line, sizeof line - 1, format, args);
  if (length < 0 || length > (int)sizeof line - 2) length = (int)sizeof line - 2;
  line[length++] = '\n';
  AppendToFile(path, line, (DWORD)length);
}

const char *childDesktop = NULL;

ChildOutcome RunChild(char *commandLine, DWORD timeout, DWORD *result) {
  STARTUPINFOA startup;
  PROCESS_INFORMATION info;
  memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  startup.lpDesktop = (char *)childDesktop;
  if (!CreateProcessA(NULL, commandLine, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &info)) {
    *result = GetLastError();
    return CHILD_NOT_STARTED;
  }
  CloseHandle(info.hThread);
  ChildOutcome outcome = CHILD_EXITED;
  if (WaitForSingleObject(info.hProcess, timeout) != WAIT_OBJECT_0) {
    TerminateProcess(info.hProcess, 0xDEADu);
    WaitForSingleObject(info.hProcess, 5000);
    outcome = CHILD_TIMED_OUT;
  } else if (!GetExitCodeProcess(info.hProcess, result)) {
    *result = 0xE0E1u;
  }
  CloseHandle(info.hProcess);
  return outcome;
}
