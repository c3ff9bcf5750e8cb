// The loader of the Linux program: the evdev stand-in when a mouse's event node
// can be read (each mouse on its own, on X11 and Wayland alike), otherwise the
// XInput2 one. The choice is made once, at the first LoadLibraryA.
#include <cstdio>

#include "rawinput/evdev/evdev_logic.h"
#include "rawinput/evdev/services.h"
#include "rawinput/loader.h"

namespace rawinput {

namespace {

enum class Which { None, Xi2, Evdev };
Which which = Which::None;

}  // namespace

void* LoadLibraryA(const char* name) {
  if (which == Which::None) {
    const evdev::Survey s = evdev::Look();
    const evdev::Choice c = evdev::ChooseService(s.mice, s.readable_mice);
    if (!c.remedy.empty()) {
      std::fprintf(stderr, "%s\n", c.remedy.c_str());
      std::fflush(stderr);
    }
    which = c.evdev ? Which::Evdev : Which::Xi2;
  }
  return which == Which::Evdev ? evdev::Load(name) : xi2::Load(name);
}

void* GetProcAddress(void* module, const char* name) {
  switch (which) {
    case Which::Evdev: return evdev::Proc(module, name);
    case Which::Xi2: return xi2::Proc(module, name);
    case Which::None: break;
  }
  return nullptr;
}

std::uint32_t GetLastError() {
  switch (which) {
    case Which::Evdev: return evdev::LastError();
    case Which::Xi2: return xi2::LastError();
    case Which::None: break;
  }
  return 0;
}

}  // namespace rawinput
