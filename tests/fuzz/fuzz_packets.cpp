// libFuzzer target: arbitrary device lists, packet bytes, announced sizes,
// packet types and handles, and failures of the service and the heap, through
// raw_input_init and process_raw_input on the headless toolkit.
//
// Input layout (little-endian; reading past the end yields zeros):
//   u8 setup flags, each followed in bit order by its operand when set:
//     0 LoadLibraryA fails          1 a missing entry point (u8 % 3 picks it)
//     2 count query result (u32)    3 list query fails
//     4 entries stored (u8)         5 registration refused, error code (u32)
//     6 allocation fails            7 small client area (u8 % 128, u8 % 128)
//   u8 device count (% 13), then per device: u32 handle, u8 type
//   packets until the input ends, each:
//     u8 op: bits 0-1 kind: 0 mouse packet from a listed device (u8 index),
//                           1 mouse packet from any handle (u32),
//                           2 raw bytes (u16 length % 4097, then the bytes),
//                           3 packet of another type (u32 handle, u32 type);
//            bit 2 call process_raw_input directly instead of sending message 255
//            bit 3 reallocation fails
//            bit 4 size query reports another size (u16)
//            bit 5 size query returns a value (u32)
//            bit 6 fetch returns a value (u32)
//            bit 7 the packet handle is unknown to the service
//     mouse kinds then carry the RAWMOUSE bytes (24) and an i8 length change:
//     negative cuts the packet short, positive pads it with zeros.
// Operands come in this order: the kind's own operands, then the RAWMOUSE and
// length change, then those of bits 4, 5 and 6.
// tests/fuzz/make_seeds.py writes the seed corpus in this layout.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "app/principal.h"
#include "log/packet_log.h"
#include "rawinput/rawinput.h"
#include "tests/support/fake_service.h"
#include "toolkit/headless/headless.h"
#include "tracks/tracks.h"

namespace {

class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool Done() const { return pos_ >= size_; }
  std::uint8_t U8() { return pos_ < size_ ? data_[pos_++] : 0; }
  std::uint16_t U16() {
    const unsigned lo = U8();
    return static_cast<std::uint16_t>(lo | static_cast<unsigned>(U8()) << 8);
  }
  std::uint32_t U32() {
    const std::uint32_t lo = U16();
    return lo | static_cast<std::uint32_t>(U16()) << 16;
  }
  // Up to n bytes of the input, zero-filled past its end.
  void Bytes(unsigned char* out, std::size_t n) {
    if (n == 0) return;
    const std::size_t have = pos_ < size_ ? std::min(n, size_ - pos_) : 0;
    if (have) std::memcpy(out, data_ + pos_, have);
    std::memset(out + have, 0, n - have);
    pos_ += have;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

constexpr std::uintptr_t kPacket = 0x5000;
constexpr std::uintptr_t kUnknownPacket = 0x5001;
const char* const kEntryNames[] = {"RegisterRawInputDevices", "GetRawInputData", "GetRawInputDeviceList"};

std::filesystem::path work_dir;

struct ClientSize {
  bool set = false;
  int width = 0;
  int height = 0;
};

ClientSize Script(Reader& in) {
  fake::Service& s = fake::service();
  const std::uint8_t flags = in.U8();
  s.load_fails = flags & 0x01;
  if (flags & 0x02) s.missing_entry = kEntryNames[in.U8() % 3];
  if (flags & 0x04) s.count_query_result = in.U32();
  s.list_query_fails = flags & 0x08;
  if (flags & 0x10) s.stored = in.U8();
  if (flags & 0x20) {
    s.register_refused = true;
    s.register_error = in.U32();
  }
  s.alloc_fails = flags & 0x40;
  ClientSize client;
  if (flags & 0x80) {
    client.set = true;
    client.width = in.U8() % 128;
    client.height = in.U8() % 128;
  }

  const unsigned devices = in.U8() % 13;
  for (unsigned i = 0; i < devices; ++i) {
    const std::uintptr_t h = in.U32();
    const std::uint32_t type = in.U8();
    s.devices.push_back({fake::handle(h), type});
  }
  return client;
}

std::vector<unsigned char> MousePacket(Reader& in, rawinput::HANDLE device) {
  unsigned char fields[sizeof(rawinput::RAWMOUSE)];
  in.Bytes(fields, sizeof fields);
  rawinput::RAWMOUSE mouse;
  std::memcpy(&mouse, fields, sizeof mouse);
  std::vector<unsigned char> bytes = fake::mouse_packet(device, mouse);
  const int change = static_cast<std::int8_t>(in.U8());
  const int length = static_cast<int>(bytes.size()) + change;
  bytes.resize(static_cast<std::size_t>(length < 0 ? 0 : length), 0);
  return bytes;
}

void SendPacket(Reader& in) {
  fake::Service& s = fake::service();
  const std::uint8_t op = in.U8();

  std::vector<unsigned char> bytes;
  switch (op & 3) {
    case 0: {
      const std::uint8_t pick = in.U8();
      const rawinput::HANDLE device = s.devices.empty() ? nullptr : s.devices[pick % s.devices.size()].hDevice;
      bytes = MousePacket(in, device);
      break;
    }
    case 1: {
      const std::uintptr_t h = in.U32();
      bytes = MousePacket(in, fake::handle(h));
      break;
    }
    case 2:
      bytes.resize(in.U16() % 4097);
      in.Bytes(bytes.data(), bytes.size());
      break;
    case 3: {
      const std::uintptr_t h = in.U32();
      bytes = fake::other_packet(fake::handle(h), in.U32());
      break;
    }
  }
  s.packets[kPacket] = std::move(bytes);

  s.realloc_fails = op & 0x08;
  s.size_query_size.reset();
  s.size_query_result.reset();
  s.fetch_result.reset();
  if (op & 0x10) s.size_query_size = in.U16();
  if (op & 0x20) s.size_query_result = in.U32();
  if (op & 0x40) s.fetch_result = in.U32();

  const std::uintptr_t handle = (op & 0x80) ? kUnknownPacket : kPacket;
  if (op & 0x04) {
    rawinput::process_raw_input(*Form1, reinterpret_cast<rawinput::HRAWINPUT>(handle));
  } else {
    tk::TMessage message{tk::WM_INPUT, 0, static_cast<std::intptr_t>(handle), 0};
    Form1->Dispatch(message);
  }
}

// libFuzzer looks for leaks after an input that allocated more blocks than it
// freed, and gives up looking after a thousand such inputs that did not leak.
// The memo lives on from input to input, so each input leaves it as it found
// it: full of empty lines, which need no heap, with the input's lines and the
// blanks that push them out making whole deque nodes, so that the nodes gained
// at the back equal those freed at the front. (An input with more lines than
// the memo holds, possible only beyond the default -max_len, merely costs a
// leak check.)
const std::string kBlank;
constexpr std::size_t kDequeNodeLines = sizeof(std::string) < 512 ? 512 / sizeof(std::string) : 1;

std::size_t AppendedLines() {
  std::size_t n = 0;
  for (const std::string& line : Form1->Memo1->Lines()) n += !line.empty();
  return n;
}

void FlushMemo(std::size_t appended) {
  std::size_t blanks = tk::TMemo::kMaxLines;
  blanks += (kDequeNodeLines - (appended + blanks) % kDequeNodeLines) % kDequeNodeLines;
  for (std::size_t i = 0; i < blanks; ++i) Form1->Memo1->Append(kBlank);
}

void RemoveWorkDir() {
  packetlog::log_close();
  std::error_code ignored;
  std::filesystem::remove_all(work_dir, ignored);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::string pattern = (std::filesystem::temp_directory_path() / "velmora-fuzz-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    std::abort();
  }
  work_dir = pattern;
  std::atexit(RemoveWorkDir);

  // The size-mismatch diagnostic would otherwise print once per bad packet.
  const int null_fd = open("/dev/null", O_WRONLY);
  if (null_fd >= 0) {
    std::fflush(stdout);
    dup2(null_fd, STDOUT_FILENO);
    close(null_fd);
  }

  // One window for the whole run: building one per input costs more than the
  // input itself. It is made inside the private directory, where FormCreate
  // opens log.txt, and the working directory is restored at once, since
  // libFuzzer resolves the corpus and writes crash files against it.
  fake::reset();
  rawinput::raw_input_reset();
  tk::Application->Initialize();
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(work_dir);
  tk::Application->CreateForm(Form1);
  std::filesystem::current_path(previous);
  FlushMemo(0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Reader in(data, size);
  fake::reset();
  rawinput::raw_input_reset();
  const ClientSize client = Script(in);
  tk::headless::HeadlessBackend& backend = tk::headless::Of(*Form1);
  if (client.set) backend.SetClientSize(client.width, client.height);
  tracks::set_start_positions(*Form1);
  packetlog::log_stream.clear();
  packetlog::log_stream.seekp(0);  // keeps the log as small as one input's records

  rawinput::raw_input_init(*Form1);
  while (!in.Done()) SendPacket(in);

  // Leave the program as the input found it, with every block the input
  // allocated freed again. The packet buffer outlives a packet by design, not
  // an input.
  rawinput::raw_input_reset();
  fake::reset();
  if (client.set) {
    backend.SetClientSize(tk::headless::HeadlessBackend::kDefaultClientWidth,
                          tk::headless::HeadlessBackend::kDefaultClientHeight);
  }
  FlushMemo(AppendedLines());
  return 0;
}
