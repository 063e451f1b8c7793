// The launcher: language selection, argument translation, the installer command
// line and the launch sequence that runs the installer.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "platform/platform.h"

// ---- language selection
struct LanguageRow {
  uint32_t key;               // primary language (low 8 bits of the user's language)
  uint16_t transformLanguage;  // the package transform it selects
};
constexpr size_t kLanguageRowCount = 10;
extern const LanguageRow LanguageTransformTable[kLanguageRowCount];
constexpr uint16_t kNoTransformLanguage = 1033;

bool IsKitProduct();
uint16_t SelectDefaultLanguage();
bool IsLanguageSupported(int32_t value);

// ---- argument translation
constexpr size_t kForwardedCapacity = 1024;
constexpr size_t kArgumentCapacity = 1024;

struct LaunchOptions {
  uint16_t transformLanguage;
  bool quiet;
  // Set when the forwarded text (or a single argument) would not fit its buffer;
  // such a run is refused.
  bool overflow;
  char forwarded[kForwardedCapacity];
};

// Walks a command line argument by argument, by the rules of the platform's
// start-up code (quotes, backslash runs, double-byte characters).
struct ArgumentCursor {
  const char* next;
  bool atProgramName;
};
void StartArguments(ArgumentCursor* cursor, const char* commandLine);
// Writes the next argument after the program name into buffer; false at the
// end. An argument longer than the capacity is cut and *cut is set.
bool NextArgument(ArgumentCursor* cursor, char* buffer, size_t capacity, bool* cut);

// Parses a decimal number as the C library's atol does, wrapping in 32 bits.
int32_t ParseLanguageNumber(const char* text);
void TranslateArgument(const char* argument, LaunchOptions* options);
void TranslateArguments(int argc, const char* const* argv, LaunchOptions* options);
// Splits the command line (the module's file name when it is empty) and
// translates every argument after the program name.
void TranslateCommandLine(const char* commandLine, LaunchOptions* options);

// ---- the installer command line
constexpr size_t kCommandLineCapacity = 1024;
// Appends " /qn" when quiet and "/qn" is not already forwarded; false when it
// would not fit.
bool AddQuietSwitch(LaunchOptions* options);
bool ComposeCommandLine(char* buffer, size_t capacity, const char* installerPath,
                        const char* packagePath, uint16_t transformLanguage,
                        const char* forwarded);

// ---- the run
constexpr uint32_t kExitFailure = 1;
constexpr uint32_t kExitEngineTooOld = 0xFFFFFFFEu;  // -2
constexpr uint32_t kExitNoMsiexec = 0xFFFFFFFDu;     // -3

uint32_t RunAndWait(char* commandLine);
uint32_t RunLaunchSequence(os::Module instance);
