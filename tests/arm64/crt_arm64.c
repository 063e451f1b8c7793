/* The C runtime of the test programs on arm64, over the system's
   ucrtbase.dll: there is no compiler runtime for this target here. Console
   programs add crt_console.c, GUI programs crt_gui.c (their starts). */
#include <stdarg.h>
#include <stdio.h>

/* The formatted-output functions that the compiler's runtime would supply,
   over ucrtbase's common entry points (C99 behaviour for snprintf). */
int __cdecl __stdio_common_vsprintf(unsigned __int64 options, char* buffer, size_t count,
                                    const char* format, _locale_t locale, va_list args);
int __cdecl __stdio_common_vfprintf(unsigned __int64 options, FILE* stream, const char* format,
                                    _locale_t locale, va_list args);
#define STANDARD_SNPRINTF 2ULL

int __cdecl vsnprintf(char* buffer, size_t count, const char* format, va_list args) {
  return __stdio_common_vsprintf(STANDARD_SNPRINTF, buffer, count, format, NULL, args);
}
int __cdecl snprintf(char* buffer, size_t count, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int result = vsnprintf(buffer, count, format, args);
  va_end(args);
  return result;
}
int __cdecl vfprintf(FILE* stream, const char* format, va_list args) {
  return __stdio_common_vfprintf(0, stream, format, NULL, args);
}
int __cdecl fprintf(FILE* stream, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int result = vfprintf(stream, format, args);
  va_end(args);
  return result;
}
int __cdecl printf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  int result = vfprintf(stdout, format, args);
  va_end(args);
  return result;
}
