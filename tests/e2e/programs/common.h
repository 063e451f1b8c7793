/* Helpers shared by the end-to-end test programs. */
#pragma once
#include <stdarg.h>
#include <stddef.h>
#include <windows.h>

/* Decodes hex text (two digits a byte) into out; returns the byte count or -1. */
int HexDecode(const char *hex, size_t hexLength, unsigned char *out, size_t capacity);
/* Writes the bytes of data as lower-case hex into out (2*count+1 bytes). */
void HexEncode(const void *data, size_t count, char *out);
/* One of the root keys by name: HKLM, HKCU, HKCR, HKU, or HKLM32 / HKLM64 for
   HKLM in the 32-bit / 64-bit registry view (*view is the flag to add to every
   access mask; 0 for the process's own view). NULL when unknown. */
HKEY RootKeyByName(const char *name, REGSAM *view);
/* Reads a whole file into a new buffer ending in a NUL; NULL on failure. */
char *ReadWholeFile(const char *path, DWORD *size);
/* Appends text to a file (created when missing). */
BOOL AppendToFile(const char *path, const void *bytes, DWORD count);
/* Appends one formatted line (a line feed added) to a file. */
void AppendLineV(const char *path, const char *format, va_list args);
/* How a child started by RunChild ended. */
typedef enum { CHILD_EXITED, CHILD_NOT_STARTED, CHILD_TIMED_OUT } ChildOutcome;
/* Starts commandLine exactly as given (no inheritance, default start-up record)
   and waits up to timeout ms (INFINITE for no limit); a child that outlives it
   is terminated. *result is the exit code, or CreateProcessA's error code. */
ChildOutcome RunChild(char *commandLine, DWORD timeout, DWORD *result);
/* "WINSTA\\DESKTOP" for the children RunChild starts; NULL: this process's own. */
extern const char *childDesktop;
