// The few memory routines a compiler may call on its own. Written with
// volatile accesses so that the compiler cannot turn them back into calls to
// themselves.
#include <stddef.h>

extern "C" {

void* memset(void* destination, int value, size_t count) {
  volatile unsigned char* d = static_cast<unsigned char*>(destination);
  while (count-- > 0) *d++ = static_cast<unsigned char>(value);
  return destination;
}

void* memcpy(void* destination, const void* source, size_t count) {
  volatile unsigned char* d = static_cast<unsigned char*>(destination);
  const unsigned char* s = static_cast<const unsigned char*>(source);
  while (count-- > 0) *d++ = *s++;
  return destination;
}

void* memmove(void* destination, const void* source, size_t count) {
  volatile unsigned char* d = static_cast<unsigned char*>(destination);
  const unsigned char* s = static_cast<const unsigned char*>(source);
  if (d < s) {
    while (count-- > 0) *d++ = *s++;
  } else {
    while (count-- > 0) d[count] = s[count];
  }
  return destination;
}

}  // extern "C"
