#include "platform/platform.h"

void ShowErrorMessage(const char* text, const char* caption, uint32_t flags) {
  const os::WindowStation station = os::QueryWindowStation();
  if (station == os::WindowStation::kInvisible || station == os::WindowStation::kNoUserInterface) {
    return;
  }
  os::ShowMessageBox(text, caption, flags);
}
