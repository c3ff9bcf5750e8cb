// The two Linux stand-ins for the raw-input service, each with the loader
// functions of rawinput/loader.h under its own name; loader_linux.cpp picks one.
#pragma once

#include <cstdint>

namespace rawinput {

namespace xi2 {
void* Load(const char* name);
void* Proc(void* module, const char* name);
std::uint32_t LastError();
}  // namespace xi2

namespace evdev {
// What a look at /dev/input found: mice (relative or absolute pointers), and
// those of them whose node could be opened.
struct Survey {
  int mice = 0;
  int readable_mice = 0;
};
Survey Look();

void* Load(const char* name);
void* Proc(void* module, const char* name);
std::uint32_t LastError();
}  // namespace evdev

}  // namespace rawinput
