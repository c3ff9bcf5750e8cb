// The loader on Windows is kernel32 itself: the raw-input entry points are bound
// from user32 at run time.
// Ours first: windows.h defines macros named like the records' constants.
#include "rawinput/loader.h"

#include <windows.h>

namespace rawinput {

void* LoadLibraryA(const char* name) { return static_cast<void*>(::LoadLibraryA(name)); }

void* GetProcAddress(void* module, const char* name) {
  return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(module), name));
}

std::uint32_t GetLastError() { return static_cast<std::uint32_t>(::GetLastError()); }

}  // namespace rawinput
