/*
 * What a C runtime would give the custom action DLL where it is built
 * without one (arm64): memcpy, which CopyMemory names and the compiler may
 * call on its own. The volatile store keeps the compiler from turning the
 * loop back into a call to memcpy.
 */
#include <stddef.h>

void *memcpy(void *destination, const void *source, size_t count)
{
    volatile unsigned char *d = destination;
    const unsigned char *s = source;
    while (count-- > 0)
        *d++ = *s++;
    return destination;
}
