// Message boxes and the string they show, through the window system's library.
//
// user32.dll is loaded only when a box is due, from the system directory by
// full path: an ordinary run shows no box, and loading the library costs a
// window-system connection before the first line of the program otherwise.
// Where the library or one of its functions cannot be had, no box can be
// shown, and the caller goes on as on an invisible window station.
#include <windows.h>

#include "platform/platform.h"

namespace os {
namespace {

typedef int(WINAPI* LoadStringFn)(HINSTANCE, UINT, LPSTR, int);
typedef int(WINAPI* MessageBoxFn)(HWND, LPCSTR, LPCSTR, UINT);
typedef HWINSTA(WINAPI* GetProcessWindowStationFn)();
typedef BOOL(WINAPI* GetUserObjectInformationFn)(HANDLE, int, PVOID, DWORD, LPDWORD);

struct UserInterface {
  LoadStringFn loadString;
  MessageBoxFn messageBox;
  GetProcessWindowStationFn processWindowStation;
  GetUserObjectInformationFn userObjectInformation;
};

// Namespace-scope state (no guarded local statics without a runtime). Boxes
// are shown from the main thread only; the library stays loaded for the rest
// of the process, which ends soon after its box.
bool userInterfaceTried = false;
UserInterface userInterface = {};

template <typename Fn>
Fn Lookup(HMODULE library, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(library, name)));
}

const UserInterface* LoadUserInterface() {
  if (!userInterfaceTried) {
    userInterfaceTried = true;
    HMODULE user32 = static_cast<HMODULE>(LoadSystemLibrary("user32.dll"));
    if (user32 != nullptr) {
      UserInterface found = {
          Lookup<LoadStringFn>(user32, "LoadStringA"),
          Lookup<MessageBoxFn>(user32, "MessageBoxA"),
          Lookup<GetProcessWindowStationFn>(user32, "GetProcessWindowStation"),
          Lookup<GetUserObjectInformationFn>(user32, "GetUserObjectInformationA"),
      };
      if (found.loadString != nullptr && found.messageBox != nullptr &&
          found.processWindowStation != nullptr && found.userObjectInformation != nullptr) {
        userInterface = found;
      }
    }
  }
  return userInterface.messageBox != nullptr ? &userInterface : nullptr;
}

}  // namespace

uint32_t LoadStringResource(Module module, uint32_t id, char* buffer, uint32_t capacity) {
  const UserInterface* ui = LoadUserInterface();
  if (ui == nullptr || capacity == 0) return 0;
  const int length =
      ui->loadString(static_cast<HINSTANCE>(module), id, buffer, static_cast<int>(capacity));
  return length > 0 ? static_cast<uint32_t>(length) : 0;
}

void ShowMessageBox(const char* text, const char* caption, uint32_t flags) {
  const UserInterface* ui = LoadUserInterface();
  if (ui != nullptr) ui->messageBox(nullptr, text, caption, flags);
}

WindowStation QueryWindowStation() {
  const UserInterface* ui = LoadUserInterface();
  if (ui == nullptr) return WindowStation::kNoUserInterface;
  HWINSTA station = ui->processWindowStation();
  if (station == nullptr) return WindowStation::kInvisible;  // no desktop at all
  USEROBJECTFLAGS flags = {};
  DWORD needed = 0;
  if (!ui->userObjectInformation(station, UOI_FLAGS, &flags, sizeof flags, &needed)) {
    return WindowStation::kUnknown;
  }
  return (flags.dwFlags & WSF_VISIBLE) != 0 ? WindowStation::kVisible : WindowStation::kInvisible;
}

}  // namespace os
