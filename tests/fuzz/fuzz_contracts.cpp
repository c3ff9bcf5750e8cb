// libFuzzer target: the Linux stand-ins' entry-point contracts (device list,
// registration, packet store, device info) called with odd sizes and null
// buffers. Every buffer is allocated at exactly the size the caller claims, so
// the sanitizer catches any write past it; each answer is checked against the
// contract, and bytes an answer must leave alone are checked to be untouched.
//
// Input layout (little-endian; reading past the end yields zeros):
//   u8 list entries (% 33), each u32 handle and u8 type
//   the described device: u16 vendor, u16 product, u8 instance length (% 64)
//   and its bytes, u8 kind (% 3: mouse, keyboard, other), u32 buttons
//   operations until the input ends, u8 op % 6:
//     0 list:         u8 bits (0 null list, 1 null count, 2 size from u32),
//                     u8 capacity in entries (% 40)
//     1 registration: u8 bits (0 null devices, 1 size from u32), u8 count (% 6),
//                     per device u16 page, u16 usage, u8 flags pick, u8 target
//     2 put:          u32 device, RAWMOUSE's fields (u16, then five u32), u32 time
//     3 release
//     4 get:          u8 handle pick, u8 bits (0 null data, 1 null size,
//                     2 header size from u32, 3 command from u32 else RID_INPUT
//                     or RID_HEADER by bit 4), u16 buffer size
//     5 device info:  u8 bits (0 no device, 1 null data, 2 null size, 3 command
//                     from u32 else name or info by bit 4, 4 see 3, 5 cbSize
//                     from u32), u16 buffer size
// tests/fuzz/make_stand_in_seeds.py writes the seed corpus in this layout.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "rawinput/linux/contracts.h"
#include "tests/fuzz/fuzz_input.h"

namespace {

using namespace rawinput;
using namespace rawinput::stand_in;

constexpr unsigned char kFill = 0xA5;

// A caller's buffer of exactly n bytes, filled with kFill.
struct Buffer {
  explicit Buffer(std::size_t n) : size(n), bytes(new unsigned char[n]) { std::memset(bytes.get(), kFill, n); }
  bool UntouchedFrom(std::size_t from) const {
    return std::all_of(bytes.get() + std::min(from, size), bytes.get() + size,
                       [](unsigned char b) { return b == kFill; });
  }
  std::size_t size;
  std::unique_ptr<unsigned char[]> bytes;
};

struct State {
  std::vector<RAWINPUTDEVICELIST> entries;
  DeviceDescription device;
  PacketStore store;
  // What the store must hold.
  std::uintptr_t current = 0, last = 0;
  RAWINPUT packet{};
  std::int64_t time = 0;
};

void List(Reader& in, State& s) {
  const std::uint8_t bits = in.U8();
  const UINT size = (bits & 4) ? in.U32() : static_cast<UINT>(sizeof(RAWINPUTDEVICELIST));
  const UINT capacity = in.U8() % 40;
  Buffer list(capacity * sizeof(RAWINPUTDEVICELIST));
  UINT count = capacity;
  std::uint32_t error = 0;
  auto* entries = (bits & 1) ? nullptr : reinterpret_cast<RAWINPUTDEVICELIST*>(list.bytes.get());
  const UINT got = AnswerList(s.entries, entries, (bits & 2) ? nullptr : &count, size, error);
  const auto n = static_cast<UINT>(s.entries.size());
  if ((bits & 2) || size != sizeof(RAWINPUTDEVICELIST)) {
    CHECK(got == kQueryFailed && error == kErrorInvalidParameter && count == capacity, "bad arguments: %u", got);
  } else if (!entries) {
    CHECK(got == 0 && count == n, "count query: %u, count %u of %u", got, count, n);
  } else if (capacity < n) {
    CHECK(got == kQueryFailed && error == kErrorInsufficientBuffer && count == n, "short list: %u", got);
  } else {
    CHECK(got == n && (n == 0 || std::memcmp(list.bytes.get(), s.entries.data(), n * sizeof(RAWINPUTDEVICELIST)) == 0),
          "list: %u of %u", got, n);
    CHECK(list.UntouchedFrom(n * sizeof(RAWINPUTDEVICELIST)), "written past the entries");
    return;
  }
  CHECK(list.UntouchedFrom(0), "a failed or count-only answer wrote the list");
}

void Register(Reader& in, State&) {
  const std::uint8_t bits = in.U8();
  const UINT size = (bits & 2) ? in.U32() : static_cast<UINT>(sizeof(RAWINPUTDEVICE));
  const UINT count = in.U8() % 6;
  std::unique_ptr<RAWINPUTDEVICE[]> devices(new RAWINPUTDEVICE[count]);
  static int window;
  const std::uint32_t flag_picks[] = {0, RIDEV_REMOVE, RIDEV_INPUTSINK, 0x30};
  std::uint32_t want_error = 0;
  bool select = false, remove = false, sink = false;
  for (UINT i = 0; i < count; ++i) {
    RAWINPUTDEVICE& d = devices[i];
    d.usUsagePage = in.U16() % 3;
    d.usUsage = in.U16() % 7;
    d.dwFlags = flag_picks[in.U8() % 4];
    d.hwndTarget = (in.U8() & 1) ? &window : nullptr;
    if (want_error) continue;
    const bool mouse = d.usUsagePage == 1 && d.usUsage == 2;
    if (d.dwFlags == 0) select |= mouse;
    else if (d.dwFlags == RIDEV_REMOVE && d.hwndTarget) want_error = kErrorInvalidParameter;
    else if (d.dwFlags == RIDEV_REMOVE) remove |= mouse;
    // A sink must name the window that takes the packets.
    else if (d.dwFlags == RIDEV_INPUTSINK && !d.hwndTarget) want_error = kErrorInvalidParameter;
    else if (d.dwFlags == RIDEV_INPUTSINK) {
      select |= mouse;
      sink |= mouse;
    } else want_error = kErrorInvalidFlags;
  }
  const bool malformed = (bits & 1) || count == 0 || size != sizeof(RAWINPUTDEVICE);
  const Registration r = CheckRegistration((bits & 1) ? nullptr : devices.get(), count, size);
  if (malformed) want_error = kErrorInvalidParameter;
  CHECK(r.error == want_error, "error %u, want %u", r.error, want_error);
  if (!want_error) {
    CHECK(r.select_mouse == select && r.remove_mouse == remove && r.sink == sink, "select %d remove %d sink %d",
          r.select_mouse, r.remove_mouse, r.sink);
  }
}

void Put(Reader& in, State& s) {
  const auto device = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(in.U32()));
  RAWMOUSE mouse;
  std::memset(&mouse, 0, sizeof mouse);  // padding too, for the byte comparison
  mouse.usFlags = in.U16();
  mouse.ulButtons = in.U32();
  mouse.ulRawButtons = in.U32();
  mouse.lLastX = static_cast<std::int32_t>(in.U32());
  mouse.lLastY = static_cast<std::int32_t>(in.U32());
  mouse.ulExtraInformation = in.U32();
  const std::int64_t time = in.U32();
  const auto h = reinterpret_cast<std::uintptr_t>(s.store.Put(device, mouse, time));
  CHECK(h != 0 && h > s.last, "handle %zu after %zu", static_cast<std::size_t>(h), static_cast<std::size_t>(s.last));
  s.current = s.last = h;
  s.packet = {};
  s.packet.header.dwType = RIM_TYPEMOUSE;
  s.packet.header.dwSize = sizeof(RAWINPUT);
  s.packet.header.hDevice = device;
  s.packet.data.mouse = mouse;
  s.time = time;
}

HRAWINPUT PickHandle(std::uint8_t pick, const State& s) {
  const std::uintptr_t picks[] = {s.current, s.last, s.last - 1, 0, s.last + 1, ~std::uintptr_t{0}};
  return reinterpret_cast<HRAWINPUT>(picks[pick % std::size(picks)]);
}

void Get(Reader& in, State& s) {
  const HRAWINPUT handle = PickHandle(in.U8(), s);
  const std::uint8_t bits = in.U8();
  const UINT header = (bits & 4) ? in.U32() : static_cast<UINT>(sizeof(RAWINPUTHEADER));
  const UINT command = (bits & 8) ? in.U32() : (bits & 16) ? RID_HEADER : RID_INPUT;
  const UINT capacity = in.U16() % 128;
  Buffer data(capacity);
  UINT size = capacity;
  std::uint32_t error = 0;
  const UINT got = s.store.Get(handle, command, (bits & 1) ? nullptr : data.bytes.get(), (bits & 2) ? nullptr : &size,
                               header, error);
  const auto h = reinterpret_cast<std::uintptr_t>(handle);
  const UINT needed = command == RID_INPUT ? sizeof(RAWINPUT) : sizeof(RAWINPUTHEADER);
  std::int64_t time = 0;
  CHECK(s.store.Time(handle, time) == (h != 0 && h == s.current), "Time() of handle %zu", static_cast<std::size_t>(h));
  if ((command != RID_INPUT && command != RID_HEADER) || header != sizeof(RAWINPUTHEADER) || (bits & 2)) {
    CHECK(got == kQueryFailed && error == kErrorInvalidParameter, "bad arguments: %u error %u", got, error);
  } else if (h == 0 || h != s.current) {
    CHECK(got == kQueryFailed && error == kErrorInvalidHandle, "handle %zu: %u", static_cast<std::size_t>(h), got);
  } else if (bits & 1) {
    CHECK(got == 0 && size == needed, "size query: %u, size %u", got, size);
  } else if (capacity < needed) {
    CHECK(got == kQueryFailed && error == kErrorInsufficientBuffer, "%u bytes for %u: %u", capacity, needed, got);
  } else {
    CHECK(got == needed && std::memcmp(data.bytes.get(), &s.packet, needed) == 0, "fetch: %u", got);
    CHECK(time == s.time, "time %lld", static_cast<long long>(time));
    CHECK(data.UntouchedFrom(needed), "written past the packet");
    return;
  }
  CHECK(data.UntouchedFrom(0), "a failed or size-only answer wrote the buffer");
}

void Info(Reader& in, State& s) {
  const std::uint8_t bits = in.U8();
  const UINT command = (bits & 8) ? in.U32() : (bits & 16) ? RIDI_DEVICEINFO : RIDI_DEVICENAME;
  const std::uint32_t cb = (bits & 32) ? in.U32() : static_cast<std::uint32_t>(sizeof(RID_DEVICE_INFO));
  const UINT capacity = in.U16() % 160;
  Buffer data(capacity);
  if (capacity >= sizeof cb) std::memcpy(data.bytes.get(), &cb, sizeof cb);
  UINT size = capacity;
  std::uint32_t error = 0;
  const UINT got = AnswerDeviceInfo((bits & 1) ? nullptr : &s.device, command, (bits & 2) ? nullptr : data.bytes.get(),
                                    (bits & 4) ? nullptr : &size, error);
  const bool name = command == RIDI_DEVICENAME;
  const UINT needed = name ? static_cast<UINT>(s.device.path.size() + 1) : static_cast<UINT>(sizeof(RID_DEVICE_INFO));
  const bool wrote_cb = capacity >= sizeof cb;
  if (bits & 4) {
    CHECK(got == kQueryFailed && error == kErrorNoAccess, "no size: %u error %u", got, error);
  } else if (bits & 1) {
    CHECK(got == kQueryFailed && error == kErrorInvalidHandle, "no device: %u error %u", got, error);
  } else if (!name && command != RIDI_DEVICEINFO) {
    CHECK(got == kQueryFailed && error == kErrorInvalidParameter, "command %x: %u", command, got);
  } else if (bits & 2) {
    CHECK(got == 0 && size == needed, "size query: %u, size %u of %u", got, size, needed);
  } else if (capacity < needed) {
    CHECK(got == kQueryFailed && error == kErrorInsufficientBuffer && size == needed, "short: %u size %u", got, size);
  } else if (!name && cb != sizeof(RID_DEVICE_INFO)) {
    CHECK(got == kQueryFailed && error == kErrorInvalidParameter, "cbSize %u: %u", cb, got);
  } else {
    RID_DEVICE_INFO info = s.device.info;
    info.cbSize = sizeof(RID_DEVICE_INFO);
    const void* want = name ? static_cast<const void*>(s.device.path.c_str()) : &info;
    CHECK(got == needed && std::memcmp(data.bytes.get(), want, needed) == 0, "answer: %u of %u", got, needed);
    CHECK(data.UntouchedFrom(needed), "written past the answer");
    return;
  }
  // Only the cbSize the caller wrote may be there.
  CHECK(data.UntouchedFrom(wrote_cb ? sizeof cb : 0), "a failed or size-only answer wrote the buffer");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Reader in(data, size);
  State s;
  const unsigned entries = in.U8() % 33;
  for (unsigned i = 0; i < entries; ++i) {
    RAWINPUTDEVICELIST e{};
    e.hDevice = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(in.U32()));
    e.dwType = in.U8();
    s.entries.push_back(e);
  }
  const std::uint16_t vendor = in.U16(), product = in.U16();
  std::string instance(in.U8() % 64, '\0');
  in.Bytes(instance.data(), instance.size());
  s.device.path = InterfacePath("EVDEV", vendor, product, instance);
  switch (in.U8() % 3) {
    case 0: s.device.info = MouseInfo(in.U32(), vendor & 1, product & 1); break;
    case 1: s.device.info = KeyboardInfo(); break;
    default: s.device.info = HidInfo(vendor, product, static_cast<std::uint16_t>(in.U32())); break;
  }

  while (!in.Done()) {
    switch (in.U8() % 6) {
      case 0: List(in, s); break;
      case 1: Register(in, s); break;
      case 2: Put(in, s); break;
      case 3: s.store.Release(); s.current = 0; break;
      case 4: Get(in, s); break;
      default: Info(in, s); break;
    }
  }
  return 0;
}
