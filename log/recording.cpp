#include "log/recording.h"

#include <charconv>
#include <iomanip>
#include <vector>

namespace packetlog {

std::ofstream packets_csv;
std::ofstream devices_csv;

namespace {

constexpr const char kPacketsHeader[] =
    "time_us,handle,index,usFlags,ulButtons,usButtonFlags,usButtonData,ulRawButtons,lLastX,lLastY,"
    "ulExtraInformation\n";
constexpr const char kDevicesHeader[] = "handle,index,type,name,vendor,product,clock_us\n";
constexpr std::uint16_t kWheelFlags = 0x0400 | 0x0800;

std::vector<rawinput::HANDLE> known_devices;

// Windows keeps handle values within 32 bits; the panel prints the same number.
std::int32_t HandleValue(rawinput::HANDLE h) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(h)));
}

// Appends decimal fields to a row kept on the stack, so a packet costs no allocation.
class Row {
 public:
  template <class T>
  Row& operator<<(T value) {
    if (at_ != buf_) *at_++ = ',';
    at_ = std::to_chars(at_, std::end(buf_), value).ptr;
    return *this;
  }
  Row& Empty(int fields) {
    for (int i = 0; i < fields; ++i) *at_++ = ',';
    return *this;
  }
  void WriteTo(std::ofstream& out) {
    *at_++ = '\n';
    out.write(buf_, at_ - buf_);
  }

 private:
  char buf_[256];  // 11 fields of at most 20 characters each
  char* at_ = buf_;
};

const char* TypeWord(rawinput::UINT type) {
  switch (type) {
    case rawinput::RIM_TYPEMOUSE: return "Mouse";
    case rawinput::RIM_TYPEKEYBOARD: return "Keyboard";
    case rawinput::RIM_TYPEHID: return "HID";
    default: return "";
  }
}

void WriteHexId(std::ofstream& out, std::int32_t id) {
  if (id < 0) return;
  out << std::hex << std::setw(4) << std::setfill('0') << id << std::dec << std::setfill(' ');
}

}  // namespace

void recording_open() {
  known_devices.clear();
  packets_csv.open("log.csv", std::ios::out | std::ios::trunc);
  devices_csv.open("devices.csv", std::ios::out | std::ios::trunc);
  packets_csv << kPacketsHeader;
  devices_csv << kDevicesHeader;
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
  const std::uint16_t flags = rawinput::ButtonFlags(m);
  const std::uint16_t data = rawinput::ButtonData(m);
  Row row;
  row << time_us << HandleValue(device) << index << m.usFlags << m.ulButtons << flags;
  // The wheel's data is a signed count; otherwise it is a plain 16-bit value.
  if (flags & kWheelFlags) {
    row << static_cast<std::int16_t>(data);
  } else {
    row << data;
  }
  row << m.ulRawButtons << m.lLastX << m.lLastY << m.ulExtraInformation;
  row.WriteTo(packets_csv);
}

void recording_write_drop(std::int64_t time_us, rawinput::HANDLE device, std::int32_t index) {
  Row row;
  row << time_us << HandleValue(device) << index;
  row.Empty(8).WriteTo(packets_csv);
}

void recording_write_device(const DeviceRow& d) {
  known_devices.push_back(d.handle);
  devices_csv << HandleValue(d.handle) << ',' << d.index << ',' << TypeWord(d.type) << ','
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
