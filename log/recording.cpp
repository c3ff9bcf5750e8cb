#include "log/recording.h"

#include <charconv>
#include <iomanip>
#include <vector>

#include "log/recording_format.h"

namespace packetlog {

std::ofstream packets_csv;
std::ofstream devices_csv;

namespace {

std::vector<rawinput::HANDLE> known_devices;

// Appends decimal fields to a row kept on the stack, so a packet costs no allocation.
class Row {
 public:
  template <class T>
  Row& operator<<(T value) {
    if (at_ != buf_) *at_++ = ',';
    at_ = std::to_chars(at_, std::end(buf_), value).ptr;
    return *this;
  }
  Row& Empty(std::size_t fields) {
    for (std::size_t i = 0; i < fields; ++i) *at_++ = ',';
    return *this;
  }
  void WriteTo(std::ofstream& out) {
    *at_++ = '\n';
    out.write(buf_, at_ - buf_);
  }

 private:
  char buf_[recording::kLogColumnCount * 21 + 1];  // each field at most 20 characters and its comma
  char* at_ = buf_;
};

void WriteHexId(std::ofstream& out, std::int32_t id) {
  if (id < 0) return;
  out << std::hex << std::setw(4) << std::setfill('0') << id << std::dec << std::setfill(' ');
}

}  // namespace

std::string_view device_type_word(rawinput::UINT type) {
  switch (type) {
    case rawinput::RIM_TYPEMOUSE: return recording::kTypeMouse;
    case rawinput::RIM_TYPEKEYBOARD: return recording::kTypeKeyboard;
    case rawinput::RIM_TYPEHID: return recording::kTypeHid;
    default: return "";
  }
}

void recording_open() {
  known_devices.clear();
  packets_csv.open("log.csv", std::ios::out | std::ios::trunc);
  devices_csv.open("devices.csv", std::ios::out | std::ios::trunc);
  packets_csv << recording::kLogHeaderLine;
  devices_csv << recording::kDevicesHeaderLine;
}

void recording_close() {
  packets_csv.close();
  devices_csv.close();
}

void recording_flush() {
  packets_csv.flush();
  devices_csv.flush();
}

void recording_write_packet(std::int64_t time_us, rawinput::HANDLE device, std::int32_t index,
                            const rawinput::RAWMOUSE& m) {
  Row row;
  recording::ForEachField(recording::FieldsOf(time_us, device, index, m), [&](auto value) { row << value; });
  row.WriteTo(packets_csv);
}

void recording_write_drop(std::int64_t time_us, rawinput::HANDLE device, std::int32_t index) {
  Row row;
  row << time_us << recording::HandleValue(device) << index;
  row.Empty(recording::kLogColumnCount - recording::kDropColumnCount).WriteTo(packets_csv);
}

void recording_write_device(const DeviceRow& d) {
  known_devices.push_back(d.handle);
  devices_csv << recording::HandleValue(d.handle) << ',' << d.index << ',' << device_type_word(d.type) << ','
              << std::quoted(d.name, '"', '"') << ',';
  WriteHexId(devices_csv, d.vendor);
  devices_csv << ',';
  WriteHexId(devices_csv, d.product);
  devices_csv << ',' << d.clock_us << '\n';
}

bool recording_knows(rawinput::HANDLE device) {
  // Newest first: a packet nearly always comes from a device that has sent one before.
  for (auto it = known_devices.rbegin(); it != known_devices.rend(); ++it) {
    if (*it == device) return true;
  }
  return false;
}

}  // namespace packetlog
