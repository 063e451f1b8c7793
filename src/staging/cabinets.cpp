#include "build_constants.h"
#include "platform/text.h"
#include "staging/staging.h"

// The order in which the package's media are needed, not the resource order.
const CabinetRow CabinetTable[kCabinetCount] = {
    {"sd%s%s%s%s0", "TARSK_CAB6", 107},  {"ss%s%s%s%s0", "TARSK_CAB9", 110},
    {"st%s%s%s%s0", "TARSK_CAB10", 111}, {"sj%s%s%s%s0", "TARSK_CAB7", 108},
    {"sp%s%s%s%s0", "TARSK_CAB8", 109},  {"sz%s%s%s%s0", "TARSK_CAB11", 112},
    {"sb%s%s%s%s0", "TARSK_CAB12", 113}, {"sr%s%s%s%s0", "TARSK_CAB13", 114},
};

os::Handle CreateExtractionEvent() { return os::CreateManualResetEvent(build::kEventName); }

bool SignalExtractionDone() {
  os::Handle event = CreateExtractionEvent();
  if (event == nullptr) return false;
  os::SetEvent(event);
  os::CloseHandle(event);
  return true;
}

uint32_t OS_THREAD_CALL CabinetExtractionThread(void* module) {
  const bool x64 = IsX64Variant();
  char path[os::kPathCapacity];
  char name[os::kPathCapacity];
  for (const CabinetRow& row : CabinetTable) {
    FormatText(name, sizeof name, row.nameFormat, build::kVersionPart1, build::kVersionPart2,
               build::kVersionPart3, build::kVersionPart4);
    BuildCabinetPath(path, name, x64);
    ExtractResourceToFile(module, row.resourceId, row.resourceType, path);  // a missing one is skipped
  }
  SignalExtractionDone();
  return 1;
}
