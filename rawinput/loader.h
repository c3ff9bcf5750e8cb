// The loader the entry points are bound through. Each platform links one
// implementation: kernel32 on Windows, on Linux the stand-in loader that picks the
// evdev or the XInput2 service, a scripted fake in the tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace rawinput {

// Module handle for name, or null.
void* LoadLibraryA(const char* name);
// The named entry point of module, or null.
void* GetProcAddress(void* module, const char* name);
// Failure code of the last call that failed.
std::uint32_t GetLastError();

// When the packet under handle came, in microseconds since the program started, on
// the service's clock; asked right after the packet is fetched.
std::int64_t PacketTime(void* handle);
// The resolution of PacketTime's clock in microseconds: 1, or 1000 for a clock that
// counts milliseconds.
std::uint32_t PacketClockUs();
// The product string of the device at this interface path, as UTF-8; false when the
// device has none.
bool ProductString(const char* interface_path, std::string& name);

// The C heap, as the loader's platform provides it; the fake can make it fail.
void* mem_alloc(std::size_t count, std::size_t size);  // zeroed, overflow-checked
void* mem_realloc(void* block, std::size_t size);
void mem_free(void* block);

}  // namespace rawinput
