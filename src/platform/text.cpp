#include "platform/text.h"

#include <stdarg.h>

size_t TextLength(const char* text) {
  size_t length = 0;
  while (text[length] != '\0') ++length;
  return length;
}

bool TextEquals(const char* a, const char* b) {
  while (*a != '\0' && *a == *b) {
    ++a;
    ++b;
  }
  return *a == *b;
}

static char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool TextEqualsIgnoreCase(const char* a, const char* b) {
  while (*a != '\0' && LowerAscii(*a) == LowerAscii(*b)) {
    ++a;
    ++b;
  }
  return LowerAscii(*a) == LowerAscii(*b);
}

bool TextStartsWith(const char* text, const char* prefix) {
  while (*prefix != '\0') {
    if (*text++ != *prefix++) return false;
  }
  return true;
}

bool TextContains(const char* text, const char* part) {
  for (; *text != '\0'; ++text) {
    if (TextStartsWith(text, part)) return true;
  }
  return *part == '\0';
}

const char* FindChar(const char* text, char c) {
  for (; *text != '\0'; ++text) {
    if (*text == c) return text;
  }
  return nullptr;
}

void FillBytes(void* bytes, size_t count, unsigned char value) {
  volatile unsigned char* p = static_cast<unsigned char*>(bytes);
  while (count-- > 0) *p++ = value;
}

bool BytesEqual(const void* a, const void* b, size_t count) {
  const unsigned char* x = static_cast<const unsigned char*>(a);
  const unsigned char* y = static_cast<const unsigned char*>(b);
  size_t i = 0;
  // Eight bytes at a time: the staged payload is compared in full.
  for (; i + 8 <= count; i += 8) {
    uint64_t u, v;
    __builtin_memcpy(&u, x + i, 8);
    __builtin_memcpy(&v, y + i, 8);
    if (u != v) return false;
  }
  for (; i < count; ++i) {
    if (x[i] != y[i]) return false;
  }
  return true;
}

namespace {

// Appends into buffer[0, capacity) from position *length; false once it no longer fits.
struct Writer {
  char* buffer;
  size_t capacity;
  size_t length;
  bool ok;

  void Put(const char* text, size_t count) {
    // The callers stop at the first refusal and never start without capacity;
    // both tests stay so that no Put can ever write out of bounds.
    if (!ok) return;
    if (capacity == 0 || count > capacity - 1 - length) {
      ok = false;
      return;
    }
    for (size_t i = 0; i < count; ++i) buffer[length + i] = text[i];
    length += count;
  }
  void PutUnsigned(uint32_t value, bool negative) {
    char digits[12];
    size_t n = 0;
    do {
      digits[sizeof digits - 1 - n++] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value != 0);
    if (negative) digits[sizeof digits - 1 - n++] = '-';
    Put(digits + sizeof digits - n, n);
  }
};

bool AppendFormatList(char* buffer, size_t capacity, const char* format, va_list args) {
  if (capacity == 0) return false;
  size_t start = 0;
  while (start < capacity && buffer[start] != '\0') ++start;
  if (start == capacity) return false;  // not a terminated string: nothing safe to append to
  Writer w{buffer, capacity, start, true};
  for (const char* f = format; *f != '\0' && w.ok; ++f) {
    if (*f != '%') {
      w.Put(f, 1);
      continue;
    }
    ++f;
    if (*f == 's') {
      const char* s = va_arg(args, const char*);
      w.Put(s, TextLength(s));
    } else if (*f == 'd') {
      int32_t v = va_arg(args, int32_t);
      uint32_t magnitude = v < 0 ? 0u - static_cast<uint32_t>(v) : static_cast<uint32_t>(v);
      w.PutUnsigned(magnitude, v < 0);
    } else if (*f == 'u') {
      w.PutUnsigned(va_arg(args, uint32_t), false);
    } else if (*f == '%') {
      w.Put("%", 1);
    } else {
      w.ok = false;  // an unknown conversion is a programming error: refuse it
    }
  }
  buffer[w.ok ? w.length : start] = '\0';
  return w.ok;
}

}  // namespace

bool AppendFormat(char* buffer, size_t capacity, const char* format, ...) {
  va_list args;
  va_start(args, format);
  bool ok = AppendFormatList(buffer, capacity, format, args);
  va_end(args);
  return ok;
}

bool FormatText(char* buffer, size_t capacity, const char* format, ...) {
  if (capacity == 0) return false;
  buffer[0] = '\0';
  va_list args;
  va_start(args, format);
  bool ok = AppendFormatList(buffer, capacity, format, args);
  va_end(args);
  if (!ok) buffer[0] = '\0';
  return ok;
}

bool AppendBytes(char* buffer, size_t capacity, const char* text, size_t count) {
  if (capacity == 0) return false;
  size_t start = 0;
  while (start < capacity && buffer[start] != '\0') ++start;
  if (start == capacity) return false;
  Writer w{buffer, capacity, start, true};
  w.Put(text, count);
  buffer[w.ok ? w.length : start] = '\0';
  return w.ok;
}

bool AppendText(char* buffer, size_t capacity, const char* text) {
  return AppendBytes(buffer, capacity, text, TextLength(text));
}

bool CopyText(char* buffer, size_t capacity, const char* text) {
  if (capacity == 0) return false;
  size_t length = TextLength(text);
  if (length > capacity - 1) return false;
  for (size_t i = 0; i <= length; ++i) buffer[i] = text[i];
  return true;
}
