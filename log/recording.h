// log.csv and devices.csv: when each packet came and from which device, and each
// device's name, ids and clock. They are written beside log.txt, under its lock.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>
#include <string_view>

#include "rawinput/records.h"

namespace packetlog {

// One row of devices.csv.
struct DeviceRow {
  rawinput::HANDLE handle = nullptr;
  std::int32_t index = -1;  // table index, -1 when not in the table
  rawinput::UINT type = rawinput::RIM_TYPEMOUSE;
  std::string name;
  std::int32_t vendor = -1;  // 0..0xFFFF, -1 when the system has none
  std::int32_t product = -1;
  std::uint32_t clock_us = 1;
};

// The program-wide recording streams, beside log_stream.
extern std::ofstream packets_csv;  // log.csv
extern std::ofstream devices_csv;  // devices.csv

// Creates or truncates both files and writes their headers; called by log_open
// once this copy holds the folder's lock.
void recording_open();
void recording_close();
// Hands what the streams hold to the system, one write each.
void recording_flush();

void recording_write_packet(std::int64_t time_us, rawinput::HANDLE device, std::int32_t index,
                            const rawinput::RAWMOUSE& mouse);
// The service lost events here: the row keeps the place, the packet fields stay empty.
void recording_write_drop(std::int64_t time_us, rawinput::HANDLE device, std::int32_t index);
void recording_write_device(const DeviceRow& row);
// devices.csv's type word: "Mouse", "Keyboard", "HID", or empty.
std::string_view device_type_word(rawinput::UINT type);
// True once a devices.csv row names this device.
bool recording_knows(rawinput::HANDLE device);

}  // namespace packetlog
