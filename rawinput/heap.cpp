// The C heap behind the raw-input state's device list and packet buffer.
#include <cstdlib>

#include "rawinput/loader.h"

namespace rawinput {

void* mem_alloc(std::size_t count, std::size_t size) { return std::calloc(count, size); }
void* mem_realloc(void* block, std::size_t size) { return std::realloc(block, size); }
void mem_free(void* block) { std::free(block); }

}  // namespace rawinput
