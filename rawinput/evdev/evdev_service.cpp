// The evdev service of the Linux stand-in, over the kernel's event devices
// (libevdev), for where X cannot tell the mice apart; the loader's first choice
// when a mouse's node can be read:
// - devices: the readable /dev/input/event* nodes in node order, each under its
//   device number (st_rdev) as its handle;
// - each evdev frame of a mouse is one packet for the form.
// Mice are read, never grabbed, on a thread of their own, so that a busy window
// never leaves a fast mouse's kernel buffer (a few milliseconds of frames) to
// overflow; the x11 toolkit's loop takes what it read (WatchFd). Mice that come
// later are found through inotify on /dev/input.
#include <dirent.h>
#include <fcntl.h>
#include <libevdev/libevdev.h>
#include <poll.h>
#include <sys/eventfd.h>
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
#include <limits>
#include <memory>
#include <mutex>
#include <sstream>
#include <system_error>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "rawinput/evdev/evdev_logic.h"
#include "rawinput/linux/stand_in.h"
#include "toolkit/x11/x11_connection.h"

namespace rawinput::evdev {

namespace {

constexpr const char* kDir = "/dev/input";
// Events read from one device per pass, so that a flood from one mouse leaves
// room for the others.
constexpr int kEventsPerTurn = 512;
// A pass over the mice starts at most this often: eight mice at 8 kHz would
// otherwise cost a wake-up and a read for nearly every frame. The kernel holds
// about 5 ms of an 8 kHz mouse's frames, and each frame keeps its own time.
constexpr std::int64_t kPassIntervalUs = 2000;
// Packets read and not yet taken by the loop (four seconds of eight 8 kHz mice,
// about 12 MB); beyond it the mice are left unread, and the kernel reports what
// it drops.
constexpr std::size_t kMaxPending = 1 << 18;

struct Device {
  int number = 0;
  std::string path;
  int fd = -1;
  libevdev* dev = nullptr;
  std::uint32_t handle = 0;
  Caps caps;
  Kind kind = Kind::Other;
  FrameTranslator frames;  // the reader thread's alone
  bool failed = false;      // under Reader::lock: no more reads

  ~Device() {
    if (dev) libevdev_free(dev);
    if (fd >= 0) close(fd);
  }
};

struct Described {
  std::uint32_t handle = 0;
  DeviceDescription description;
};

// What the reader thread hands the loop, in the order it read it.
struct Item {
  enum class Kind : std::uint8_t { Packet, Lost, Failed };
  Kind kind = Kind::Packet;
  std::uint32_t handle = 0;
  int error = 0;  // Failed: the read's error
  std::int64_t time_us = 0;
  RAWMOUSE record = {};
};

// The mice and the thread that reads them. The list and the items are shared
// under lock; a device's libevdev state and translator are the thread's, its
// name, ids and kind are fixed once open and read by either thread.
struct Reader {
  std::mutex lock;
  std::vector<std::shared_ptr<Device>> mice;
  std::vector<Item> items;
  std::vector<Item> taken;  // the loop's: what it took last, kept for its capacity
  bool stop = false;
  int wake = -1;   // eventfd: look at the list again, or stop
  int ready = -1;  // eventfd: items wait for the loop
  std::thread thread;

  ~Reader();
};

struct Service {
  std::int64_t start_us = 0;  // CLOCK_MONOTONIC at the start, the packets' time 0
  int inotify = -1;
  // The devices of the last list, so that describing each of them opens no node.
  std::vector<Described> listed;
  Reader reader;  // last: its thread ends before the rest goes
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
std::shared_ptr<Device> Open(int number, int& error) {
  auto d = std::make_shared<Device>();
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

std::int64_t MonotonicUs() {
  timespec now = {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return std::int64_t{now.tv_sec} * 1000000 + now.tv_nsec / 1000;
}

// An event's kernel time, in microseconds since the start.
std::int64_t TimeOf(const input_event& ev) {
  return std::int64_t{ev.input_event_sec} * 1000000 + ev.input_event_usec - service.start_us;
}

HANDLE HandleOf(std::uint32_t handle) { return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(handle)); }

DeviceDescription DescriptionOf(const Device& d) {
  const Ids ids{static_cast<std::uint16_t>(libevdev_get_id_vendor(d.dev)),
                static_cast<std::uint16_t>(libevdev_get_id_product(d.dev)),
                static_cast<std::uint16_t>(libevdev_get_id_version(d.dev))};
  const char* name = libevdev_get_name(d.dev);
  return Describe(d.number, d.caps, ids, name ? name : "");
}

// Takes an eventfd's count, so that it polls readable again only when signalled.
void Drain(int eventfd_fd) {
  std::uint64_t count = 0;
  if (read(eventfd_fd, &count, sizeof count) < 0) {
    // EAGAIN: nothing was signalled since.
  }
}

void Signal(int eventfd_fd) {
  const std::uint64_t one = 1;
  if (write(eventfd_fd, &one, sizeof one) < 0) {
    // The counter is far from full; a failed write leaves a wake-up pending.
  }
}

// ---- The reader thread ----------------------------------------------------------

// A frame's packets carry the time of its SYN_REPORT.
void Translate(Device& d, const input_event& ev, std::vector<Item>& out) {
  RAWMOUSE records[FrameTranslator::kMaxRecords];
  const int n = d.frames.Feed(Event{ev.type, ev.code, ev.value}, records);
  for (int i = 0; i < n; ++i) out.push_back({Item::Kind::Packet, d.handle, 0, TimeOf(ev), records[i]});
}

// Reads what one mouse holds, up to a pass's share; false when it cannot be
// read any more (the Failed item says why).
bool ReadMouse(Device& d, std::vector<Item>& out) {
  for (int i = 0; i < kEventsPerTurn; ++i) {
    // libevdev reads what the node holds in one go; once that is taken, a poll
    // asks whether more came rather than a read that ends in EAGAIN.
    if (i > 0 && libevdev_has_event_pending(d.dev) == 0) return true;
    input_event ev;
    int rc = libevdev_next_event(d.dev, LIBEVDEV_READ_FLAG_NORMAL, &ev);
    if (rc == LIBEVDEV_READ_STATUS_SYNC) {
      // The kernel's buffer overflowed: libevdev reads the device's state again;
      // what was lost is not made up, but the recording marks where (ev is the
      // SYN_DROPPED).
      out.push_back({Item::Kind::Lost, d.handle, 0, TimeOf(ev), {}});
      do {
        rc = libevdev_next_event(d.dev, LIBEVDEV_READ_FLAG_SYNC, &ev);
      } while (rc == LIBEVDEV_READ_STATUS_SYNC);
      d.frames.Resync(libevdev_get_event_value(d.dev, EV_ABS, ABS_X), libevdev_get_event_value(d.dev, EV_ABS, ABS_Y));
      if (rc == -EAGAIN) continue;
    }
    if (rc == -EAGAIN) return true;
    if (rc < 0) {
      out.push_back({Item::Kind::Failed, d.handle, -rc, 0, {}});
      return false;
    }
    Translate(d, ev, out);
  }
  return true;
}

// Waits for a mouse's frames or a wake-up; reads every mouse that has frames,
// hands the loop what it read, and keeps to one pass per interval.
void ReadMice() {
  Reader& r = service.reader;
  std::vector<std::shared_ptr<Device>> mice;
  std::vector<pollfd> fds;
  std::vector<Item> read;
  std::size_t passes = 0;
  for (;;) {
    bool full = false;
    {
      std::lock_guard<std::mutex> hold(r.lock);
      if (r.stop) return;
      mice.clear();
      for (const auto& m : r.mice) {
        if (!m->failed) mice.push_back(m);
      }
      full = r.items.size() >= kMaxPending;
    }
    fds.assign(1, {r.wake, POLLIN, 0});
    if (!full) {
      for (const auto& m : mice) fds.push_back({m->fd, POLLIN, 0});
    }
    if (poll(fds.data(), fds.size(), full ? 10 : -1) < 0 && errno != EINTR) return;
    const std::int64_t pass_us = MonotonicUs();
    if (fds[0].revents & POLLIN) Drain(r.wake);
    read.clear();
    std::vector<Device*> failed;
    // Each pass starts at the next mouse, so that none always waits for the others' reads.
    const std::size_t n = fds.size() - 1;
    ++passes;
    for (std::size_t k = 0; k < n; ++k) {
      const std::size_t i = 1 + (passes + k) % n;
      if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      Device& d = *mice[i - 1];
      if (!ReadMouse(d, read)) failed.push_back(&d);
    }
    if (!read.empty()) {
      std::lock_guard<std::mutex> hold(r.lock);
      for (Device* d : failed) d->failed = true;
      const bool was_empty = r.items.empty();
      r.items.insert(r.items.end(), read.begin(), read.end());
      if (was_empty) Signal(r.ready);
    }
    mice.clear();  // a mouse closed meanwhile goes now, not a pass later
    const std::int64_t rest_us = kPassIntervalUs - (MonotonicUs() - pass_us);
    if (rest_us > 0) {
      pollfd wake = {r.wake, POLLIN, 0};
      const timespec rest = {0, rest_us * 1000};
      ppoll(&wake, 1, &rest, nullptr);
    }
  }
}

Reader::~Reader() {
  if (!thread.joinable()) return;
  {
    std::lock_guard<std::mutex> hold(lock);
    stop = true;
  }
  Signal(wake);
  thread.join();
}

// ---- The loop's side ------------------------------------------------------------

std::shared_ptr<Device> FindMouse(int number) {
  std::lock_guard<std::mutex> hold(service.reader.lock);
  for (const auto& m : service.reader.mice) {
    if (m->number == number) return m;
  }
  return nullptr;
}

std::shared_ptr<Device> FindMouseByHandle(std::uint32_t handle) {
  std::lock_guard<std::mutex> hold(service.reader.lock);
  for (const auto& m : service.reader.mice) {
    if (m->handle == handle) return m;
  }
  return nullptr;
}

void CloseMouse(const Device* d) {
  Reader& r = service.reader;
  {
    std::lock_guard<std::mutex> hold(r.lock);
    std::erase_if(r.mice, [&](const auto& m) { return m.get() == d; });
  }
  Signal(r.wake);
}

void OpenMouse(int number) {
  if (FindMouse(number)) return;
  int error = 0;
  std::shared_ptr<Device> d = Open(number, error);
  if (!d || TypeOf(d->kind) != RIM_TYPEMOUSE) return;
  {
    std::lock_guard<std::mutex> hold(service.reader.lock);
    service.reader.mice.push_back(std::move(d));
  }
  Signal(service.reader.wake);
}

// What the reader thread read reaches the form, in order.
void OnItems(void*, int fd) {
  Drain(fd);
  std::vector<Item>& items = service.reader.taken;
  items.clear();
  {
    std::lock_guard<std::mutex> hold(service.reader.lock);
    items.swap(service.reader.items);
  }
  for (const Item& item : items) {
    switch (item.kind) {
      case Item::Kind::Packet: stand_in::Deliver(HandleOf(item.handle), item.record, item.time_us); break;
      case Item::Kind::Lost:
        if (const auto d = FindMouseByHandle(item.handle)) {
          std::fprintf(stderr, "Velmora: %s (%s): events dropped, state read again\n", d->path.c_str(),
                       libevdev_get_name(d->dev));
          std::fflush(stderr);
        }
        stand_in::ReportLost(HandleOf(item.handle), item.time_us);
        break;
      case Item::Kind::Failed:
        if (const auto d = FindMouseByHandle(item.handle)) {
          // An unplugged mouse (ENODEV) goes quietly; any other error ends its
          // packets while the user may think it is still read, so it is told.
          if (item.error != ENODEV) {
            std::fprintf(stderr, "Velmora: %s (%s): cannot be read (%s), no more packets from it\n",
                         d->path.c_str(), libevdev_get_name(d->dev), std::strerror(item.error));
            std::fflush(stderr);
          }
          CloseMouse(d.get());
        }
        break;
    }
  }
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
        if (const auto d = FindMouse(number)) CloseMouse(d.get());
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
    if (const auto m = FindMouse(number)) {
      add(*m);
      continue;
    }
    int error = 0;
    if (const auto d = Open(number, error)) add(*d);
  }
  return listed;
}

bool FindDescribed(std::uintptr_t handle, DeviceDescription& out) {
  if (handle <= std::numeric_limits<std::uint32_t>::max()) {
    if (const auto m = FindMouseByHandle(static_cast<std::uint32_t>(handle))) {
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
  Reader& r = service.reader;
  r.wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  r.ready = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (r.wake < 0 || r.ready < 0) return false;
  tk::x11::WatchFd(r.ready, OnItems, nullptr);
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
  try {
    r.thread = std::thread(ReadMice);
  } catch (const std::system_error&) {
    return false;
  }
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
