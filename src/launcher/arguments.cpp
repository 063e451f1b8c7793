#include "launcher/launcher.h"
#include "platform/text.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool IsLead(const char* p) {
  return os::IsDBCSLeadByte(static_cast<unsigned char>(*p)) && p[1] != '\0';
}

// Bounded output for one argument: keeps writing nothing once full.
struct ArgumentWriter {
  char* buffer;
  size_t capacity;
  size_t length;
  bool cut;
  void Put(char c) {
    if (length + 1 < capacity) {
      buffer[length++] = c;
    } else {
      cut = true;
    }
  }
};

// The program name runs to the first blank or tab outside double quotes; its
// quotes only toggle the region and its backslashes are ordinary characters.
const char* SkipProgramName(const char* p) {
  bool quoted = false;
  while (*p != '\0' && (quoted || !IsBlank(*p))) {
    if (*p == '"') {
      quoted = !quoted;
    } else if (IsLead(p)) {
      ++p;
    }
    ++p;
  }
  return p;
}

}  // namespace

void StartArguments(ArgumentCursor* cursor, const char* commandLine) {
  cursor->next = commandLine;
  cursor->atProgramName = true;
}

bool NextArgument(ArgumentCursor* cursor, char* buffer, size_t capacity, bool* cut) {
  const char* p = cursor->next;
  if (cursor->atProgramName) {
    p = SkipProgramName(p);
    cursor->atProgramName = false;
  }
  while (IsBlank(*p)) ++p;
  if (*p == '\0') {
    cursor->next = p;
    return false;
  }

  ArgumentWriter out{buffer, capacity, 0, false};
  bool quoted = false;
  while (*p != '\0' && (quoted || !IsBlank(*p))) {
    if (*p == '\\') {
      size_t backslashes = 0;
      while (*p == '\\') {
        ++backslashes;
        ++p;
      }
      if (*p != '"') {
        while (backslashes-- > 0) out.Put('\\');
        continue;
      }
      for (size_t i = 0; i < backslashes / 2; ++i) out.Put('\\');
      if (backslashes % 2 == 1) {
        out.Put('"');
        ++p;
        continue;
      }
      // An even run leaves the double quote at p to the quote rule below.
    }
    if (*p == '"') {
      if (quoted && p[1] == '"') {
        out.Put('"');  // a doubled quote inside a region: one literal quote, region closed
        p += 2;
        quoted = false;
      } else {
        quoted = !quoted;
        ++p;
      }
      continue;
    }
    if (IsLead(p)) out.Put(*p++);  // the trail byte is never a separator or a quote
    out.Put(*p++);
  }
  // Every caller passes an argument buffer; the test keeps a buffer of none untouched.
  if (capacity > 0) buffer[out.length] = '\0';
  cursor->next = p;
  *cut = out.cut;
  return true;
}

int32_t ParseLanguageNumber(const char* text) {
  const char* p = text;
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '\f' || *p == '\r') ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = (*p++ == '-');
  uint32_t value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) value = value * 10u + static_cast<uint32_t>(*p - '0');
  if (negative) value = 0u - value;
  return static_cast<int32_t>(value);
}

namespace {

void Forward(LaunchOptions* options, const char* text, size_t count) {
  if (!AppendBytes(options->forwarded, kForwardedCapacity, text, count)) options->overflow = true;
}

void ForwardProperty(LaunchOptions* options, const char* text, size_t count) {
  Forward(options, " ", 1);
  Forward(options, text, count);
  Forward(options, " ", 1);
}

}  // namespace

void TranslateArgument(const char* a, LaunchOptions* options) {
  if (TextContains(a, "/lang=")) {
    const int32_t value = ParseLanguageNumber(FindChar(a, '=') + 1);
    if (IsLanguageSupported(value)) {
      options->transformLanguage = static_cast<uint16_t>(static_cast<uint32_t>(value) & 0xFFFFu);
    }
    return;
  }
  const size_t length = TextLength(a);
  if (TextStartsWith(a, "/v\"")) {
    // The closing quote (or whatever the last character is) is dropped.
    ForwardProperty(options, a + 3, length > 3 ? length - 4 : 0);
    return;
  }
  if (TextStartsWith(a, "/v")) {
    ForwardProperty(options, a + 2, length - 2);
    return;
  }
  if (TextEquals(a, "/s")) {
    options->quiet = true;
    return;
  }
  Forward(options, a, length);
  Forward(options, " ", 1);
}

void TranslateArguments(int argc, const char* const* argv, LaunchOptions* options) {
  for (int i = 1; i < argc; ++i) TranslateArgument(argv[i], options);
}

void TranslateCommandLine(const char* commandLine, LaunchOptions* options) {
  // An empty command line names no arguments: the module's file name then
  // stands for the program name, whatever blanks its path holds.
  // (The system always gives a command line; nullptr is kept as "none".)
  if (commandLine == nullptr || *commandLine == '\0') return;
  ArgumentCursor cursor;
  StartArguments(&cursor, commandLine);
  char argument[kArgumentCapacity];
  bool cut = false;
  while (NextArgument(&cursor, argument, sizeof argument, &cut)) {
    if (cut) {
      options->overflow = true;  // an argument this long cannot be forwarded whole
      continue;
    }
    TranslateArgument(argument, options);
  }
}
