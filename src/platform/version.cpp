#include "platform/platform.h"

namespace {
// Filled on the main thread before the cabinet thread exists; read-only afterwards.
bool nt6Computed = false;
bool nt6 = false;
constexpr uint32_t kPlatformNt = 2;
}  // namespace

bool IsNt6() {
  if (!nt6Computed) {
    uint32_t platformId = 0, major = 0, minor = 0;
    os::QueryVersion(&platformId, &major, &minor);  // a failed query leaves zeros
    nt6 = platformId == kPlatformNt && major == 6;
    nt6Computed = true;
  }
  return nt6;
}

bool IsNt52() {
  uint32_t platformId = 0, major = 0, minor = 0;
  os::QueryVersion(&platformId, &major, &minor);
  return major == 5 && minor == 2;
}

void ForgetCachedVersionForTesting() {
  nt6Computed = false;
  nt6 = false;
}
