#include "log/packet_log.h"

#include <cstdio>

#include "log/file_lock.h"

namespace packetlog {

std::ofstream log_stream;

namespace {
constexpr const char kRecordFormat[] =
    "Mouse: num %d, usFlags=%04x ulButtons=%04x usButtonFlags=%04x usButtonData=%04x "
    "ulRawButtons=%04x lLastX=%04x lLastY=%04x ulExtraInformation=%04x\r\n";
}  // namespace

PacketRecord make_packet_record(std::int32_t table_index, const rawinput::RAWMOUSE& m) {
  // %x takes unsigned int: widen each field explicitly, negative motions as their 32 bits.
  const auto print = [&](char* out, std::size_t room) {
    return std::snprintf(out, room, kRecordFormat, static_cast<int>(table_index),
                         static_cast<unsigned>(m.usFlags), static_cast<unsigned>(m.ulButtons),
                         static_cast<unsigned>(rawinput::ButtonFlags(m)),
                         static_cast<unsigned>(rawinput::ButtonData(m)), static_cast<unsigned>(m.ulRawButtons),
                         static_cast<unsigned>(static_cast<std::uint32_t>(m.lLastX)),
                         static_cast<unsigned>(static_cast<std::uint32_t>(m.lLastY)),
                         static_cast<unsigned>(m.ulExtraInformation));
  };
  const int length = print(nullptr, 0);
  if (length <= 0) return PacketRecord();
  PacketRecord record(static_cast<std::size_t>(length), '\0');
  // std::string keeps room for the terminating zero past size().
  print(record.data(), record.size() + 1);
  return record;
}

void log_open() {
  constexpr const char* kName = "log.txt";
  // Another copy of the program logs in this folder: truncating would cut its
  // log under it, so this copy runs as with a log that cannot be opened.
  if (!lock_log_file(kName)) {
    log_stream.setstate(std::ios::failbit);
    return;
  }
  log_stream.open(kName, std::ios::out | std::ios::trunc);
}

void log_write(const PacketRecord& record) { log_stream << record.c_str(); }

void log_flush() {
  if (log_stream.is_open()) log_stream.flush();
}

void log_close() {
  log_stream.close();
  unlock_log_file();
}

}  // namespace packetlog
