#include "evdev_bed.h"

#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>

namespace e2e {
namespace {

std::string Hex(const std::vector<unsigned char>& bytes) {
  std::string s;
  char b[3];
  for (unsigned char c : bytes) {
    std::snprintf(b, sizeof b, "%02X", c);
    s += b;
  }
  return s;
}

std::vector<unsigned char> Bits(const std::vector<int>& codes, std::size_t size) {
  std::vector<unsigned char> b(size);
  for (int c : codes) b[static_cast<std::size_t>(c) / 8] |= static_cast<unsigned char>(1u << (c % 8));
  return b;
}

// sysfs's form of a bitmap: hex longs, the highest first.
std::string SysfsBits(const std::vector<int>& codes) {
  std::vector<unsigned long long> words(12);
  for (int c : codes) words[static_cast<std::size_t>(c) / 64] |= 1ull << (c % 64);
  while (words.size() > 1 && words.back() == 0) words.pop_back();
  std::string s;
  char b[20];
  for (auto it = words.rbegin(); it != words.rend(); ++it) {
    std::snprintf(b, sizeof b, "%llx", *it);
    s += (s.empty() ? "" : " ") + std::string(b);
  }
  return s;
}

std::string Description(const FakeDevice& d) {
  const std::string n = std::to_string(d.number), minor = std::to_string(64 + d.number);
  return "P: /devices/virtual/input/input" + n + "/event" + n + "\nN: input/event" + n + "\nE: DEVNAME=" + d.Node() +
         "\nE: MAJOR=13\nE: MINOR=" + minor + "\nE: SUBSYSTEM=input\nA: dev=13:" + minor +
         "\nL: device=../../input" + n + "\n\nP: /devices/virtual/input/input" + n + "\nE: NAME=\"" + d.name +
         "\"\nE: SUBSYSTEM=input\nA: name=" + d.name + "\nA: capabilities/ev=" + SysfsBits(d.ev) +
         "\nA: capabilities/key=" + SysfsBits(d.keys) + "\nA: capabilities/rel=" + SysfsBits(d.rel) +
         "\nA: capabilities/abs=" + SysfsBits(d.abs) + "\nA: properties=0\n";
}

std::string IoctlRecord(const FakeDevice& d) {
  std::vector<unsigned char> name(d.name.begin(), d.name.end());
  name.resize(255);  // EVIOCGNAME(255)
  std::string s = "@DEV " + d.Node() + "\n";
  s += "EVIOCGNAME(0) " + std::to_string(d.name.size() + 1) + " " + Hex(name) + "\n";
  // struct input_id: bus (USB), vendor, product, version, each 16 bits little-endian.
  const auto le16 = [](std::uint16_t v) {
    return std::vector<unsigned char>{static_cast<unsigned char>(v & 0xFF), static_cast<unsigned char>(v >> 8)};
  };
  std::vector<unsigned char> id = le16(3);
  for (std::uint16_t v : {d.vendor, d.product, std::uint16_t{1}}) {
    const auto b = le16(v);
    id.insert(id.end(), b.begin(), b.end());
  }
  s += "EVIOCGVERSION 0 01000100\nEVIOCGID 0 " + Hex(id) + "\n";
  s += "EVIOCGBIT(0) 8 " + Hex(Bits(d.ev, 8)) + "\n";
  s += "EVIOCGBIT(1) 96 " + Hex(Bits(d.keys, 96)) + "\n";
  s += "EVIOCGBIT(2) 8 " + Hex(Bits(d.rel, 8)) + "\n";
  s += "EVIOCGBIT(3) 8 " + Hex(Bits(d.abs, 8)) + "\n";
  for (const char* other : {"EVIOCGBIT(4) 8 ", "EVIOCGBIT(5) 8 ", "EVIOCGBIT(17) 8 ", "EVIOCGBIT(18) 8 "}) {
    s += other + Hex(std::vector<unsigned char>(8)) + "\n";
  }
  s += "EVIOCGBIT(21) 16 " + Hex(std::vector<unsigned char>(16)) + "\n";
  s += "EVIOCGKEY(0) 96 " + Hex(std::vector<unsigned char>(96)) + "\n";
  s += "EVIOCGLED(0) 8 " + Hex(std::vector<unsigned char>(8)) + "\nEVIOCGSW(0) 8 " + Hex(std::vector<unsigned char>(8)) + "\n";
  s += "EVIOCGPROP(0) 8 " + Hex(std::vector<unsigned char>(8)) + "\n";
  // input_absinfo: value 0, minimum 0, maximum 32767.
  for (int a : d.abs) s += (a == 0 ? std::string("EVIOCGABS") : "EVIOCGABS(" + std::to_string(a) + ")") +
                           " 0 0000000000000000FF7F0000000000000000000000000000\n";
  return s;
}

// The process's threads, by id.
std::set<std::string> Threads() {
  std::set<std::string> ids;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator("/proc/self/task", ec)) ids.insert(e.path().filename().string());
  return ids;
}

// Loads a replay script, its thread at a lower priority. umockdev answers each
// of the program's reads on another thread of this process; the replay threads,
// busy with a block per frame, would keep those answers waiting until a mouse's
// node (4 KiB, about 7 ms at 8 kHz) fills and a read gets part of an event. A
// replay that runs late still gives each frame its own time.
bool LoadScript(UMockdevTestbed* bed, const FakeDevice& d, const fs::path& script, GError** error) {
  const std::set<std::string> before = Threads();
  if (!umockdev_testbed_load_script(bed, d.Node().c_str(), script.c_str(), error)) return false;
  for (const std::string& id : Threads()) {
    if (!before.contains(id)) setpriority(PRIO_PROCESS, static_cast<id_t>(std::stoi(id)), 10);
  }
  return true;
}

}  // namespace

bool Testbed::Add(const FakeDevice& d) {
  GError* error = nullptr;
  const fs::path ioctl = dir / ("event" + std::to_string(d.number) + ".ioctl");
  const fs::path events = dir / ("event" + std::to_string(d.number) + (d.script.empty() ? ".events" : ".script"));
  std::ofstream(ioctl) << IoctlRecord(d);
  if (d.script.empty()) {
    std::ofstream(events) << "E: 0.100000 0000 0000 0\n" << d.events;
  } else {
    std::ofstream(events) << d.script;
  }
  bool ok = umockdev_testbed_add_from_string(bed, Description(d).c_str(), &error) &&
            umockdev_testbed_load_ioctl(bed, d.Node().c_str(), ioctl.c_str(), &error) &&
            (d.script.empty() ? umockdev_testbed_load_evemu_events(bed, d.Node().c_str(), events.c_str(), &error)
                              : LoadScript(bed, d, events, &error));
  if (error) {
    std::fprintf(stderr, "umockdev: %s\n", error->message);
    g_error_free(error);
  }
  // The node is a link that umockdev makes before the device answers its ioctls;
  // moved away and back, it comes again once it does, as udev's rename would.
  gchar* root = umockdev_testbed_get_root_dir(bed);
  const std::string node = root + d.Node();
  g_free(root);
  std::error_code ec;
  fs::rename(node, node + ".new", ec);
  if (!ec) fs::rename(node + ".new", node, ec);
  return ok && !ec;
}

bool StartOnFakeDevices(Session& s, const std::string& exe, const fs::path& dir) {
  const char* old_preload = std::getenv("LD_PRELOAD");
  const std::string preload = std::string("libumockdev-preload.so.0") + (old_preload ? std::string(" ") + old_preload : "");
  setenv("LD_PRELOAD", preload.c_str(), 1);
  const bool started = s.Start(exe, dir);
  if (old_preload) {
    setenv("LD_PRELOAD", old_preload, 1);
  } else {
    unsetenv("LD_PRELOAD");
  }
  return started;
}

}  // namespace e2e
