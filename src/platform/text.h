// Text in fixed-capacity buffers. Every write is bounded by the capacity it is
// given and reports overflow; on overflow the buffer keeps what it held before
// an append (a format leaves it empty), so a caller never acts on a silently cut
// path or command line.
#pragma once

#include <stddef.h>
#include <stdint.h>

size_t TextLength(const char* text);
bool TextEquals(const char* a, const char* b);
// ASCII letters compared without regard to case; other bytes exactly.
bool TextEqualsIgnoreCase(const char* a, const char* b);
bool TextStartsWith(const char* text, const char* prefix);
bool TextContains(const char* text, const char* part);
// The first occurrence of c in text, or nullptr.
const char* FindChar(const char* text, char c);

bool CopyText(char* buffer, size_t capacity, const char* text);
bool AppendText(char* buffer, size_t capacity, const char* text);
// Appends the first count bytes of text (which must have at least that many).
bool AppendBytes(char* buffer, size_t capacity, const char* text, size_t count);
// Appends text formatted from %s, %d (int32_t), %u (uint32_t) and %%.
bool AppendFormat(char* buffer, size_t capacity, const char* format, ...);
// Replaces the buffer's contents with the formatted text.
bool FormatText(char* buffer, size_t capacity, const char* format, ...);

void FillBytes(void* bytes, size_t count, unsigned char value);
bool BytesEqual(const void* a, const void* b, size_t count);
