#include "build_constants.h"
#include "launcher/launcher.h"
#include "platform/text.h"

const LanguageRow LanguageTransformTable[kLanguageRowCount] = {
    {0x0804, 2052},  // Chinese (Simplified, PRC): a full identifier, reached only by its transform
    {0x04, 1028},    // Chinese (Traditional)
    {0x07, 1031},    // German
    {0x09, 1033},    // English
    {0x0A, 1034},    // Spanish
    {0x0C, 1036},    // French
    {0x10, 1040},    // Italian
    {0x11, 1041},    // Japanese
    {0x12, 1042},    // Korean
    {0x1D, 1053},    // Swedish
};

namespace {
constexpr size_t kJapaneseRow = 7;
constexpr uint16_t kSimplifiedChinesePrc = 0x0804;
}  // namespace

bool IsKitProduct() { return TextEqualsIgnoreCase(build::kProductTag, "tpz"); }

uint16_t SelectDefaultLanguage() {
  const uint16_t lang = os::GetUserDefaultLangID();
  if (lang == kSimplifiedChinesePrc) return 2052;
  const uint32_t primary = lang & 0xFFu;
  if (IsKitProduct()) {
    const LanguageRow& japanese = LanguageTransformTable[kJapaneseRow];
    return primary == japanese.key ? japanese.transformLanguage : kNoTransformLanguage;
  }
  for (const LanguageRow& row : LanguageTransformTable) {
    if (row.key == primary) return row.transformLanguage;
  }
  return kNoTransformLanguage;
}

bool IsLanguageSupported(int32_t value) {
  const uint16_t v = static_cast<uint16_t>(static_cast<uint32_t>(value) & 0xFFFFu);
  if (IsKitProduct()) {
    return v == kNoTransformLanguage || v == LanguageTransformTable[kJapaneseRow].transformLanguage ||
           v == 2052;
  }
  for (const LanguageRow& row : LanguageTransformTable) {
    if (row.transformLanguage == v) return true;
  }
  return false;
}
