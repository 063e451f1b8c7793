// Any registry value, of any type and size, read as the install status, with
// one registry call failing when the first byte says so: the string check
// never reads past what was stored, only an exact "reinstall" asks for a
// second run (and, when nothing fails, every exact one does), and no key is
// left open.
#include <cstdlib>
#include <cstring>
#include <string>

#include "fake_platform.h"
#include "installer/installer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  FakeSystem system;
  fake = &system;
  const uint32_t type = data[0] % 12;
  // data[0] / 12: 0 fails nothing, otherwise the Nth call (1 to 4) of one operation.
  static const char* const kOperations[] = {"OpenRegKey",        "QueryRegValue", "DeleteRegValue",
                                            "QueryRegKeyCounts", "DeleteRegKey",  "CloseRegKey"};
  const uint32_t failure = data[0] / 12;
  std::vector<unsigned char> bytes(data + 1, data + size);
  system.registry["hklm\\software"];
  system.SetRegBytes("HKLM\\Software\\TarskSoft", "InstallStatus", bytes, type);

  char status[kStatusCapacity];
  std::memset(status, 0xCC, sizeof status);
  const bool read = ReadVendorValue(kInstallStatusValue, status, sizeof status);
  if (read && std::memchr(status, 0, sizeof status) == nullptr) std::abort();

  const bool exact = (type == os::kRegSz || type == os::kRegExpandSz || type == os::kRegMultiSz) &&
                     bytes.size() <= kStatusCapacity && read && std::strcmp(status, "reinstall") == 0;
  // The failure applies to the handshake's own calls, counted from its first.
  system.calls.clear();
  if (failure != 0) {
    system.FailCall(kOperations[(failure - 1) % 6], 1 + static_cast<int>((failure - 1) / 6), failure);
  }
  const bool taken = TakeReinstallRequest();
  if (taken && !exact) std::abort();
  if (failure == 0 && taken != exact) std::abort();
  if (system.openRegKeys != 0) std::abort();
  fake = nullptr;
  return 0;
}
