#include "platform/platform.h"

void ShowErrorMessage(const char* text, const char* caption, uint32_t flags) {
  if (os::QueryWindowStation() == os::WindowStation::kInvisible) return;
  os::ShowMessageBox(text, caption, flags);
}
