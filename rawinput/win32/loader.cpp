// The loader on Windows is kernel32 itself: the raw-input entry points are bound
// from user32 at run time. A packet's time is when the program fetched it, on the
// performance counter: WM_INPUT carries no time of the device's own.
#include <windows.h>

#include "rawinput/loader.h"

namespace rawinput {

namespace {

struct Counter {
  LARGE_INTEGER start{};
  LARGE_INTEGER frequency{};
  Counter() {
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
  }
};
// Started with the program, before any window exists.
const Counter counter;

using HidD_GetProductStringFn = BOOLEAN(__stdcall*)(HANDLE device, PVOID buffer, ULONG length);

// hid.dll, bound once at first use; null when the system has none.
HidD_GetProductStringFn ProductStringEntry() {
  static const auto entry = [] {
    HMODULE hid = ::LoadLibraryA("hid.dll");
    return hid ? reinterpret_cast<HidD_GetProductStringFn>(
                     reinterpret_cast<void*>(::GetProcAddress(hid, "HidD_GetProductString")))
               : nullptr;
  }();
  return entry;
}

}  // namespace

void* LoadLibraryA(const char* name) { return static_cast<void*>(::LoadLibraryA(name)); }

void* GetProcAddress(void* module, const char* name) {
  return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(module), name));
}

std::uint32_t GetLastError() { return static_cast<std::uint32_t>(::GetLastError()); }

std::int64_t PacketTime(void*) {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  const long long ticks = now.QuadPart - counter.start.QuadPart;
  const long long f = counter.frequency.QuadPart;
  // Whole seconds and the rest apart, so that the product cannot overflow.
  return ticks / f * 1000000 + ticks % f * 1000000 / f;
}

std::uint32_t PacketClockUs() { return 1; }

bool ProductString(const char* interface_path, std::string& name) {
  const HidD_GetProductStringFn get = ProductStringEntry();
  if (get == nullptr) return false;
  // No access rights: enough to ask for strings, and granted even for a mouse
  // that the system holds open.
  HANDLE device = ::CreateFileA(interface_path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                nullptr);
  if (device == INVALID_HANDLE_VALUE) return false;
  wchar_t text[127] = {};  // USB string descriptors hold at most 126 characters
  const BOOLEAN ok = get(device, text, sizeof text - sizeof text[0]);
  ::CloseHandle(device);
  if (!ok || text[0] == L'\0') return false;
  const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 1) return false;
  name.assign(static_cast<std::size_t>(bytes), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text, -1, name.data(), bytes, nullptr, nullptr);
  name.resize(static_cast<std::size_t>(bytes - 1));
  return true;
}

}  // namespace rawinput
