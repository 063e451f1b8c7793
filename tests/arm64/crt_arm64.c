/* The C runtime of the test programs on arm64, over the system's
   ucrtbase.dll: there is no compiler runtime for this target here. Console
   programs add crt_console.c, GUI programs crt_gui.c (their starts).

   Formatting is done here, not by ucrtbase: Debian's arm64 Wine builds its
   DLLs as Linux libraries, whose va_list is not the Windows one, so no
   va_list may cross into them. The formats cover what the test programs use:
   flags '-' and '0', a width, the lengths l, ll and z, and d i u x X c s p %. */
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

struct Output {
  char* buffer;
  size_t capacity;
  size_t length;
};

static void Put(struct Output* out, char c) {
  if (out->length + 1 < out->capacity) out->buffer[out->length] = c;
  out->length++;
}

static void PutField(struct Output* out, const char* text, size_t length, int width, int left,
                     char pad) {
  size_t fill = width > 0 && (size_t)width > length ? (size_t)width - length : 0;
  size_t i;
  if (!left && pad == '0' && length > 0 && text[0] == '-') {
    Put(out, '-');
    text++;
    length--;
  }
  if (!left)
    for (i = 0; i < fill; i++) Put(out, pad);
  for (i = 0; i < length; i++) Put(out, text[i]);
  if (left)
    for (i = 0; i < fill; i++) Put(out, ' ');
}

static size_t Digits(char* end, unsigned long long value, unsigned base, int upper) {
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  size_t n = 0;
  do {
    *--end = digits[value % base];
    value /= base;
    n++;
  } while (value != 0);
  return n;
}

int __cdecl vsnprintf(char* buffer, size_t count, const char* format, va_list args) {
  struct Output out = {buffer, count, 0};
  for (const char* f = format; *f; f++) {
    if (*f != '%') {
      Put(&out, *f);
      continue;
    }
    int left = 0, width = 0, longs = 0;
    char pad = ' ';
    for (f++; *f == '-' || *f == '0'; f++) {
      if (*f == '-') left = 1; else pad = '0';
    }
    for (; *f >= '0' && *f <= '9'; f++) width = width * 10 + (*f - '0');
    for (; *f == 'l' || *f == 'z'; f++) longs++;
    char number[24];
    char* end = number + sizeof number;
    size_t n;
    switch (*f) {
      case 'd':
      case 'i': {
        long long value = longs >= 2 ? va_arg(args, long long)
                          : longs == 1 ? va_arg(args, long) : va_arg(args, int);
        n = Digits(end, value < 0 ? 0ULL - (unsigned long long)value : (unsigned long long)value, 10, 0);
        if (value < 0) number[sizeof number - ++n] = '-';
        PutField(&out, end - n, n, width, left, pad);
        break;
      }
      case 'u':
      case 'x':
      case 'X':
      case 'p': {
        unsigned long long value = *f == 'p' ? (unsigned long long)(size_t)va_arg(args, void*)
                                   : longs >= 2 ? va_arg(args, unsigned long long)
                                   : longs == 1 ? va_arg(args, unsigned long)
                                                : va_arg(args, unsigned);
        n = Digits(end, value, *f == 'u' ? 10 : 16, *f == 'X');
        PutField(&out, end - n, n, width, left, pad);
        break;
      }
      case 'c': {
        char c = (char)va_arg(args, int);
        PutField(&out, &c, 1, width, left, ' ');
        break;
      }
      case 's': {
        const char* s = va_arg(args, const char*);
        if (s == NULL) s = "(null)";
        size_t length = 0;
        while (s[length]) length++;
        PutField(&out, s, length, width, left, ' ');
        break;
      }
      case '%':
        Put(&out, '%');
        break;
      default:  /* not a format of these programs: shown as it stands */
        Put(&out, '%');
        if (*f == '\0') f--; else Put(&out, *f);
    }
  }
  if (count > 0) buffer[out.length < count ? out.length : count - 1] = '\0';
  return (int)out.length;
}

int __cdecl snprintf(char* buffer, size_t count, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int result = vsnprintf(buffer, count, format, args);
  va_end(args);
  return result;
}

int __cdecl vfprintf(FILE* stream, const char* format, va_list args) {
  char small[1024];
  va_list again;
  va_copy(again, args);
  int length = vsnprintf(small, sizeof small, format, args);
  char* text = small;
  if ((size_t)length >= sizeof small) {
    text = malloc((size_t)length + 1);
    if (text == NULL) {
      va_end(again);
      return -1;
    }
    vsnprintf(text, (size_t)length + 1, format, again);
  }
  va_end(again);
  size_t written = fwrite(text, 1, (size_t)length, stream);
  if (text != small) free(text);
  return written == (size_t)length ? length : -1;
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
