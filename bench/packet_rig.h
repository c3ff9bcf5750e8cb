// A whole program on the headless toolkit and the scripted raw-input service,
// with its log in a private temporary directory, for the benchmarks and the
// memory check. Packets are sent as message 255, as the platform would.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/principal.h"
#include "log/packet_log.h"
#include "log/recording.h"
#include "rawinput/rawinput.h"
#include "tests/support/fake_service.h"
#include "toolkit/headless/headless.h"

namespace bench {

// Mice at table indices 0 to 3, then a keyboard.
constexpr std::uintptr_t kMouseHandles[] = {0x11, 0x12, 0x13, 0x14};
constexpr std::uintptr_t kKeyboardHandle = 0x20;

class PacketRig {
 public:
  PacketRig() {
    std::string pattern = (std::filesystem::temp_directory_path() / "velmora-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot make a temporary directory");
    dir_ = pattern;

    fake::reset();
    rawinput::raw_input_reset();
    packetlog::log_close();
    packetlog::log_stream.clear();
    for (std::uintptr_t h : kMouseHandles) fake::service().devices.push_back({fake::handle(h), rawinput::RIM_TYPEMOUSE});
    fake::service().devices.push_back({fake::handle(kKeyboardHandle), rawinput::RIM_TYPEKEYBOARD});

    tk::Application->Reset();
    tk::Application->Initialize();
    Form1 = nullptr;
    // log_open names "log.txt" relative to the working directory: create the
    // form inside the private directory, then step back out of it.
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(dir_);
    tk::Application->CreateForm(Form1);
    std::filesystem::current_path(previous);
    if (rawinput::raw_input_state.count != 4 || !packetlog::log_stream.is_open()) {
      throw std::runtime_error("the program did not start as scripted");
    }
  }

  ~PacketRig() {
    tk::Application->Reset();
    Form1 = nullptr;
    rawinput::raw_input_reset();
    packetlog::log_close();
    packetlog::log_stream.clear();
    fake::reset();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  PacketRig(const PacketRig&) = delete;
  PacketRig& operator=(const PacketRig&) = delete;

  // Scripts a mouse packet from device under packet handle, padded with zeros to
  // size bytes (at least a whole RAWINPUT).
  void Script(std::uintptr_t packet, std::uintptr_t device, std::int32_t dx, std::int32_t dy,
              std::size_t size = sizeof(rawinput::RAWINPUT)) {
    rawinput::RAWMOUSE mouse{};
    mouse.lLastX = dx;
    mouse.lLastY = dy;
    std::vector<unsigned char> bytes = fake::mouse_packet(fake::handle(device), mouse);
    if (size > bytes.size()) bytes.resize(size, 0);
    fake::service().packets[packet] = std::move(bytes);
  }

  // Rewrites the motion of a scripted packet in place, without allocating.
  void SetMotion(std::uintptr_t packet, std::int32_t dx, std::int32_t dy) {
    unsigned char* p = fake::service().packets.at(packet).data() + offsetof(rawinput::RAWINPUT, data);
    std::memcpy(p + offsetof(rawinput::RAWMOUSE, lLastX), &dx, sizeof dx);
    std::memcpy(p + offsetof(rawinput::RAWMOUSE, lLastY), &dy, sizeof dy);
  }

  static void Send(std::uintptr_t packet) {
    tk::TMessage message{tk::WM_INPUT, 0, static_cast<std::intptr_t>(packet), 0};
    Form1->Dispatch(message);
  }

  // Starts the log file over, so that long runs do not fill the disk; the
  // stream stays open on the same file.
  static void RewindLog() {
    packetlog::log_stream.seekp(0);
    packetlog::packets_csv.seekp(0);
  }

  const std::filesystem::path& Dir() const { return dir_; }

 private:
  std::filesystem::path dir_;
};

}  // namespace bench
