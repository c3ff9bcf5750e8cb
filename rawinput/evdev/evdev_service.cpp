// The evdev service of the Linux stand-in, over the kernel's event devices
// (libevdev), for where X cannot tell the mice apart; the loader's first choice
// when a mouse's node can be read:
// - devices: the readable /dev/input/event* nodes in node order, each under its
//   device number (st_rdev) as its handle;
// - each evdev frame of a mouse is one packet for the form.
// Mice are read, never grabbed, in the x11 toolkit's loop (WatchFd); mice that
// come later are found through inotify on /dev/input.
#include <dirent.h>
#include <fcntl.h>
#include <libevdev/libevdev.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "rawinput/evdev/evdev_logic.h"
#include "rawinput/linux/stand_in.h"
#include "toolkit/x11/x11_connection.h"

namespace rawinput::evdev {

namespace {

constexpr const char* kDir = "/dev/input";
// Events read from one device per turn of the loop, so that a flood from one
// mouse leaves room for the others and the window.
constexpr int kEventsPerTurn = 512;

struct Device {
  int number = 0;
  std::string path;
  int fd = -1;
  libevdev* dev = nullptr;
  std::uint32_t handle = 0;
  Caps caps;
  Kind kind = Kind::Other;
  FrameTranslator frames;

  ~Device() {
    if (dev) libevdev_free(dev);
    if (fd >= 0) close(fd);
  }
};

struct Described {
  std::uint32_t handle = 0;
  DeviceDescription description;
};

struct Service {
  std::int64_t start_us = 0;  // CLOCK_MONOTONIC at the start, the packets' time 0
  int inotify = -1;
  std::vector<std::unique_ptr<Device>> mice;  // open and watched
  // The devices of the last list, so that describing each of them opens no node.
  std::vector<Described> listed;
};

Service service;

// N of "eventN", or -1.
int NodeNumber(const char* name) {
  if (std::strncmp(name, "event", 5) != 0 || name[5] == '\0') return -1;
  char* end = nullptr;
  const long n = std::strtol(name + 5, &end, 10);
  return *end == '\0' && n >= 0 && n < 1 << 20 ? static_cast<int>(n) : -1;
}

std::vector<int> Nodes() {
  std::vector<int> numbers;
  if (DIR* dir = opendir(kDir)) {
    while (const dirent* e = readdir(dir)) {
      const int n = NodeNumber(e->d_name);
      if (n >= 0) numbers.push_back(n);
    }
    closedir(dir);
  }
  std::sort(numbers.begin(), numbers.end());
  return numbers;
}

std::string PathOf(int number) { return std::string(kDir) + "/event" + std::to_string(number); }

Caps CapsOf(const libevdev* d) {
  Caps c;
  c.rel_x = libevdev_has_event_code(d, EV_REL, REL_X);
  c.rel_y = libevdev_has_event_code(d, EV_REL, REL_Y);
  c.rel_wheel = libevdev_has_event_code(d, EV_REL, REL_WHEEL);
  c.rel_wheel_hi_res = libevdev_has_event_code(d, EV_REL, REL_WHEEL_HI_RES);
  c.rel_hwheel = libevdev_has_event_code(d, EV_REL, REL_HWHEEL);
  c.rel_hwheel_hi_res = libevdev_has_event_code(d, EV_REL, REL_HWHEEL_HI_RES);
  c.abs_x = libevdev_has_event_code(d, EV_ABS, ABS_X);
  c.abs_y = libevdev_has_event_code(d, EV_ABS, ABS_Y);
  if (c.abs_x) c.x = {libevdev_get_abs_minimum(d, ABS_X), libevdev_get_abs_maximum(d, ABS_X)};
  if (c.abs_y) c.y = {libevdev_get_abs_minimum(d, ABS_Y), libevdev_get_abs_maximum(d, ABS_Y)};
  c.left_button = libevdev_has_event_code(d, EV_KEY, BTN_LEFT);
  for (unsigned b = BTN_LEFT; b <= BTN_TASK; ++b) c.buttons += libevdev_has_event_code(d, EV_KEY, b);
  c.finger = libevdev_has_event_code(d, EV_KEY, BTN_TOOL_FINGER) || libevdev_has_property(d, INPUT_PROP_POINTER);
  c.keyboard_keys = true;
  for (unsigned key = KEY_ESC; key <= KEY_D; ++key) c.keyboard_keys = c.keyboard_keys && libevdev_has_event_code(d, EV_KEY, key);
  return c;
}

// A node that cannot be opened still shows its kind in sysfs: a bitmap in hex
// words of a long each, the highest first.
bool SysfsBit(int number, const char* file, unsigned bit) {
  std::ifstream in("/sys/class/input/event" + std::to_string(number) + "/device/" + file);
  std::vector<unsigned long long> words;
  std::string word;
  while (in >> word) words.push_back(std::strtoull(word.c_str(), nullptr, 16));
  constexpr unsigned kBits = 8 * sizeof(long);
  const std::size_t from_end = bit / kBits;
  if (from_end >= words.size()) return false;
  return (words[words.size() - 1 - from_end] >> (bit % kBits)) & 1u;
}

Caps SysfsCaps(int number) {
  Caps c;
  c.rel_x = SysfsBit(number, "capabilities/rel", REL_X);
  c.rel_y = SysfsBit(number, "capabilities/rel", REL_Y);
  c.abs_x = SysfsBit(number, "capabilities/abs", ABS_X);
  c.abs_y = SysfsBit(number, "capabilities/abs", ABS_Y);
  c.left_button = SysfsBit(number, "capabilities/key", BTN_LEFT);
  c.finger = SysfsBit(number, "capabilities/key", BTN_TOOL_FINGER) || SysfsBit(number, "properties", INPUT_PROP_POINTER);
  return c;
}

// Opens /dev/input/eventN; null with error set when it cannot be read.
std::unique_ptr<Device> Open(int number, int& error) {
  auto d = std::make_unique<Device>();
  d->number = number;
  d->path = PathOf(number);
  d->fd = open(d->path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (d->fd < 0) {
    error = errno;
    return nullptr;
  }
  const int rc = libevdev_new_from_fd(d->fd, &d->dev);
  if (rc < 0) {
    d->dev = nullptr;
    error = -rc;
    return nullptr;
  }
  struct stat st = {};
  if (stat(d->path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) fstat(d->fd, &st);
  // The device number names the device while its node exists; 0 is no handle.
  d->handle = static_cast<std::uint32_t>(st.st_rdev);
  if (d->handle == 0) d->handle = 0x80000000u | static_cast<std::uint32_t>(number);
  // Frame times on the clock that PacketTime counts from, not the wall clock.
  libevdev_set_clock_id(d->dev, CLOCK_MONOTONIC);
  d->caps = CapsOf(d->dev);
  d->kind = Classify(d->caps);
  d->frames = FrameTranslator(d->caps);
  d->frames.Resync(libevdev_get_event_value(d->dev, EV_ABS, ABS_X), libevdev_get_event_value(d->dev, EV_ABS, ABS_Y));
  return d;
}

Device* OpenMouse(int number);

void CloseMouse(Device* d) {
  tk::x11::WatchFd(d->fd, nullptr, nullptr);
  auto& mice = service.mice;
  mice.erase(std::remove_if(mice.begin(), mice.end(), [&](const auto& m) { return m.get() == d; }), mice.end());
}

std::int64_t MonotonicUs() {
  timespec now = {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return std::int64_t{now.tv_sec} * 1000000 + now.tv_nsec / 1000;
}

// An event's kernel time, in microseconds since the start.
std::int64_t TimeOf(const input_event& ev) {
  return std::int64_t{ev.input_event_sec} * 1000000 + ev.input_event_usec - service.start_us;
}

HANDLE HandleOf(const Device& d) { return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(d.handle)); }

DeviceDescription DescriptionOf(const Device& d) {
  const Ids ids{static_cast<std::uint16_t>(libevdev_get_id_vendor(d.dev)),
                static_cast<std::uint16_t>(libevdev_get_id_product(d.dev)),
                static_cast<std::uint16_t>(libevdev_get_id_version(d.dev))};
  const char* name = libevdev_get_name(d.dev);
  return Describe(d.number, d.caps, ids, name ? name : "");
}

// A frame's packets carry the time of its SYN_REPORT.
void Deliver(Device& d, const input_event& ev) {
  RAWMOUSE records[FrameTranslator::kMaxRecords];
  const int n = d.frames.Feed(Event{ev.type, ev.code, ev.value}, records);
  for (int i = 0; i < n; ++i) stand_in::Deliver(HandleOf(d), records[i], TimeOf(ev));
}

void OnReadable(void* context, int) {
  Device& d = *static_cast<Device*>(context);
  for (int i = 0; i < kEventsPerTurn; ++i) {
    // libevdev reads what the node holds in one go; once that is taken, a poll
    // asks whether more came rather than a read that ends in EAGAIN.
    if (i > 0 && libevdev_has_event_pending(d.dev) == 0) return;
    input_event ev;
    int rc = libevdev_next_event(d.dev, LIBEVDEV_READ_FLAG_NORMAL, &ev);
    if (rc == LIBEVDEV_READ_STATUS_SYNC) {
      // The kernel's buffer overflowed: libevdev reads the device's state again;
      // what was lost is not made up, but the recording marks where (ev is the
      // SYN_DROPPED).
      std::fprintf(stderr, "Velmora: %s (%s): events dropped, state read again\n", d.path.c_str(),
                   libevdev_get_name(d.dev));
      std::fflush(stderr);
      stand_in::ReportLost(HandleOf(d), TimeOf(ev));
      do {
        rc = libevdev_next_event(d.dev, LIBEVDEV_READ_FLAG_SYNC, &ev);
      } while (rc == LIBEVDEV_READ_STATUS_SYNC);
      d.frames.Resync(libevdev_get_event_value(d.dev, EV_ABS, ABS_X), libevdev_get_event_value(d.dev, EV_ABS, ABS_Y));
      if (rc == -EAGAIN) continue;
    }
    if (rc == -EAGAIN) return;
    if (rc < 0) {
      // An unplugged mouse (ENODEV) goes quietly; any other error ends its
      // packets while the user may think it is still read, so it is told.
      if (rc != -ENODEV) {
        std::fprintf(stderr, "Velmora: %s (%s): cannot be read (%s), no more packets from it\n", d.path.c_str(),
                     libevdev_get_name(d.dev), std::strerror(-rc));
        std::fflush(stderr);
      }
      CloseMouse(&d);
      return;
    }
    Deliver(d, ev);
  }
}

Device* FindMouse(int number) {
  for (const auto& m : service.mice) {
    if (m->number == number) return m.get();
  }
  return nullptr;
}

Device* OpenMouse(int number) {
  if (Device* d = FindMouse(number)) return d;
  int error = 0;
  std::unique_ptr<Device> d = Open(number, error);
  if (!d || TypeOf(d->kind) != RIM_TYPEMOUSE) return nullptr;
  Device* raw = d.get();
  service.mice.push_back(std::move(d));
  tk::x11::WatchFd(raw->fd, OnReadable, raw);
  return raw;
}

void OnDirectory(void*, int fd) {
  alignas(inotify_event) char buf[4096];
  for (;;) {
    const ssize_t len = read(fd, buf, sizeof buf);
    if (len <= 0) return;
    for (ssize_t at = 0; at < len;) {
      const auto* e = reinterpret_cast<const inotify_event*>(buf + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
      const int number = e->len > 0 ? NodeNumber(e->name) : -1;
      if (number < 0) continue;
      if (e->mask & IN_DELETE) {
        if (Device* d = FindMouse(number)) CloseMouse(d);
      } else {
        // A new node may be readable only once udev has set its permissions (IN_ATTRIB).
        OpenMouse(number);
      }
    }
  }
}

std::vector<ListedDevice> ListDevices() {
  std::vector<ListedDevice> listed;
  service.listed.clear();
  const auto add = [&](const Device& d) {
    listed.push_back({d.number, d.handle, d.kind});
    service.listed.push_back({d.handle, DescriptionOf(d)});
  };
  for (int number : Nodes()) {
    if (const Device* m = FindMouse(number)) {
      add(*m);
      continue;
    }
    int error = 0;
    if (const auto d = Open(number, error)) add(*d);
  }
  return listed;
}

bool FindDescribed(std::uintptr_t handle, DeviceDescription& out) {
  for (const auto& m : service.mice) {
    if (m->handle == handle) {
      out = DescriptionOf(*m);
      return true;
    }
  }
  for (const Described& d : service.listed) {
    if (d.handle == handle) {
      out = d.description;
      return true;
    }
  }
  return false;
}

// Usable when this user can read at least one mouse's node.
bool Usable(std::string& remedy) {
  int mice = 0, readable_mice = 0;
  for (int number : Nodes()) {
    int error = 0;
    const auto d = Open(number, error);
    const Kind kind = d ? d->kind : Classify(SysfsCaps(number));
    if (TypeOf(kind) != RIM_TYPEMOUSE) continue;
    ++mice;
    if (d) ++readable_mice;
  }
  Choice c = ChooseService(mice, readable_mice);
  remedy = std::move(c.remedy);
  return c.evdev;
}

bool Start() {
  service.start_us = MonotonicUs();
  // Watched before the first look, so that no mouse falls between the two.
  service.inotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (service.inotify >= 0) {
    if (inotify_add_watch(service.inotify, kDir, IN_CREATE | IN_ATTRIB | IN_MOVED_TO | IN_DELETE) < 0) {
      close(service.inotify);
      service.inotify = -1;
    } else {
      tk::x11::WatchFd(service.inotify, OnDirectory, nullptr);
    }
  }
  for (int number : Nodes()) OpenMouse(number);
  return true;
}

std::vector<RAWINPUTDEVICELIST> Devices() { return ListEntries(ListDevices()); }

// Mice are read from the start; packets flow once Delivering says so.
std::uint32_t SelectMice(bool) { return 0; }

bool DescribeDevice(HANDLE device, DeviceDescription& out) {
  const auto handle = reinterpret_cast<std::uintptr_t>(device);
  if (FindDescribed(handle, out)) return true;
  ListDevices();  // a device that came since the last list
  return FindDescribed(handle, out);
}

}  // namespace

}  // namespace rawinput::evdev

namespace rawinput::stand_in {

const Service kEvdevService = {.usable = evdev::Usable,
                                .start = evdev::Start,
                                .devices = evdev::Devices,
                                .select_mice = evdev::SelectMice,
                                .describe = evdev::DescribeDevice,
                                .clock_us = 1};

}  // namespace rawinput::stand_in
