// A scripted raw-input service for tests: the loader, the entry points and the
// heap, each of which can be told to fail.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "rawinput/records.h"

namespace fake {

struct Service {
  // Loader.
  bool load_fails = false;
  std::string missing_entry;  // GetProcAddress answers null for this name
  std::uint32_t last_error = 0;

  // Device list.
  std::vector<rawinput::RAWINPUTDEVICELIST> devices;
  std::uint32_t count_query_result = 0;     // what the count query returns
  bool list_query_fails = false;            // list query returns 0xFFFFFFFF
  std::optional<std::uint32_t> stored;      // entries the list query says it stored

  // Registration.
  bool register_refused = false;
  std::uint32_t register_error = 0;
  std::vector<rawinput::RAWINPUTDEVICE> registered;
  std::uint32_t register_size = 0;

  // Packets: bytes by packet handle. A missing handle fails both queries.
  std::map<std::uintptr_t, std::vector<unsigned char>> packets;
  std::optional<std::uint32_t> size_query_size;    // size reported instead of the real one
  std::optional<std::uint32_t> size_query_result;  // return value of the size query
  std::optional<std::uint32_t> fetch_result;       // return value of the fetch
  int size_queries = 0;
  int fetches = 0;

  // Device info: interface paths by device handle (others are unknown handles),
  // product strings by path, and each packet's time by packet handle.
  std::map<std::uintptr_t, std::string> paths;
  std::map<std::string, std::string> products;
  std::map<std::uintptr_t, std::int64_t> times;
  std::uint32_t clock_us = 1;

  // Heap.
  bool alloc_fails = false;
  bool realloc_fails = false;
  int reallocs = 0;
  std::size_t last_realloc_size = 0;
};

// The one service the fake loader answers "user32.dll" with.
Service& service();
// Back to a fresh service with nothing scripted.
void reset();

// A mouse packet from device with the given fields.
std::vector<unsigned char> mouse_packet(rawinput::HANDLE device, const rawinput::RAWMOUSE& mouse);
// A packet of another type (keyboard, 1, by default).
std::vector<unsigned char> other_packet(rawinput::HANDLE device, std::uint32_t type = 1);
inline rawinput::HANDLE handle(std::uintptr_t v) { return reinterpret_cast<rawinput::HANDLE>(v); }

}  // namespace fake
