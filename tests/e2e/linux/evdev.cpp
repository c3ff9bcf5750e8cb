// The evdev service on umockdev's fake event devices (evdev), and a mouse node the
// user cannot read, where the program keeps to XInput2 (evdev-denied).
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "x11_e2e.h"

#ifdef VELMORA_HAVE_UMOCKDEV
#include "evdev_bed.h"
#endif

namespace e2e {

#ifdef VELMORA_HAVE_UMOCKDEV

namespace {

// The records of one table index among lines, in order.
Lines RecordsOf(const Lines& lines, int index) {
  const std::string head = "Mouse: num " + std::to_string(index) + ",";
  Lines out;
  for (const std::string& l : lines) {
    if (l.starts_with(head)) out.push_back(l);
  }
  return out;
}

}  // namespace

int RunEvdev(const std::string& exe, const fs::path& dir) {
  Screen x;
  if (!Connect(x)) return 1;
  fs::create_directories(dir / "bed");
  Testbed bed;
  bed.dir = dir / "bed";
  // The replay starts at the node's first opening with its first event, here an
  // empty frame, so the others come seconds later, once the window has the focus.
  // Sub-second parts have no leading zeros: umockdev reads those wrongly.
  const std::vector<FakeDevice> devices = {
      {1, "Velmora fake mouse A", {kEvSyn, kEvKey, kEvRel}, {kBtnLeft, kBtnRight, kBtnMiddle}, {kRelX, kRelY, kRelWheel}, {},
       "E: 3.100000 0002 0000 5\nE: 3.100000 0002 0001 -3\nE: 3.100000 0000 0000 0\n", 0x046d, 0xc077},
      {2, "Velmora fake mouse B", {kEvSyn, kEvKey, kEvRel},
       {kBtnLeft, kBtnRight, kBtnMiddle, kBtnSide, kBtnExtra}, {kRelX, kRelY, kRelWheel, kRelHwheel}, {},
       "E: 3.200000 0001 0110 1\nE: 3.200000 0002 0000 2\nE: 3.200000 0000 0000 0\n"
       "E: 3.300000 0001 0110 0\nE: 3.300000 0000 0000 0\n"
       "E: 3.400000 0002 0008 -1\nE: 3.400000 0000 0000 0\n"
       // A frame cut short by SYN_DROPPED makes no packet.
       "E: 3.450000 0002 0000 9\nE: 3.450000 0000 0003 0\n"
       "E: 3.500000 0001 0111 1\nE: 3.500000 0001 0112 1\nE: 3.500000 0000 0000 0\n"},
      {3, "Velmora fake mouse C, \"Pro\"", {kEvSyn, kEvKey, kEvRel}, {kBtnLeft, kBtnRight, kBtnSide, kBtnExtra},
       {kRelX, kRelY, kRelWheel, kRelHwheel, kRelWheelHiRes, kRelHwheelHiRes}, {},
       "E: 3.200000 0002 000b 60\nE: 3.200000 0000 0000 0\n"
       "E: 3.300000 0001 0113 1\nE: 3.300000 0002 0001 4\nE: 3.300000 0000 0000 0\n"
       "E: 3.400000 0001 0114 0\nE: 3.400000 0002 0006 1\nE: 3.400000 0002 000c 120\nE: 3.400000 0000 0000 0\n"},
      {4, "Velmora fake mouse E", {kEvSyn, kEvKey, kEvRel}, {kBtnLeft}, {kRelX, kRelY}, {},
       "E: 3.250000 0002 0000 40\nE: 3.250000 0002 0001 60\nE: 3.250000 0000 0000 0\n"},
      {5, "Velmora fake keyboard", {kEvSyn, kEvKey}, {}, {}, {},
       "E: 3.200000 0001 001e 1\nE: 3.200000 0000 0000 0\nE: 3.300000 0001 001e 0\nE: 3.300000 0000 0000 0\n"},
      {6, "Velmora fake tablet", {kEvSyn, kEvKey, kEvAbs}, {kBtnLeft, kBtnRight}, {}, {0, 1},
       "E: 3.600000 0003 0000 16384\nE: 3.600000 0003 0001 32767\nE: 3.600000 0000 0000 0\n"
       "E: 3.700000 0001 0111 1\nE: 3.700000 0000 0000 0\n"},
  };
  std::vector<FakeDevice> all = devices;
  for (int k = 1; k < 120; ++k) all[4].keys.push_back(k);  // a keyboard's keys
  bool ok = true;
  for (const FakeDevice& d : all) ok = bed.Add(d) && ok;
  Check("evdev: umockdev holds the fake devices", ok);

  Session s(x);
  if (!StartOnFakeDevices(s, exe, dir) || !WaitFor([&] { return s.Focused(); })) {
    return Check("evdev: program starts", false, s.program.Describe()), 1;
  }

  // Device list and table: the nodes in order, handles their device numbers.
  Lines expected_list;
  const char* words[] = {"Mouse", "Mouse", "Mouse", "Mouse", "Keyboard", "Mouse"};
  int mice = 0;
  for (std::size_t i = 0; i < devices.size(); ++i) {
    const std::string handle = std::to_string(devices[i].Handle());
    expected_list.push_back(std::to_string(i) + " " + handle + "  " + words[i]);
    if (std::string(words[i]) == "Mouse") expected_list.push_back("Amouse[" + std::to_string(mice++) + "] = " + handle);
  }
  const Lines memo = s.Memo();
  const Lines head(memo.begin(), memo.begin() + static_cast<long>(std::min(memo.size(), expected_list.size())));
  Check("evdev: the event devices are listed in node order under their device numbers, the mice in the table",
        head == expected_list, "got " + Join(head));

  const Lines expected_records = {
      Record(0, 0, 0, 0, 5, -3),
      Record(1, 0, 0x0001, 0, 2, 0),
      Record(1, 0, 0x0002, 0, 0, 0),
      Record(1, 0, 0x0400, 0xff88, 0, 0),
      Record(1, 0, 0x0004 | 0x0010, 0, 0, 0),
      Record(2, 0, 0x0400, 60, 0, 0),
      Record(2, 0, 0x0040, 0, 0, 4),
      Record(2, 0, 0x0200 | 0x0800, 120, 0, 0),
      Record(3, 0, 0, 0, 40, 60),
      Record(4, 1, 0, 0, 32769, 65535),
      Record(4, 1, 0x0004, 0, 32769, 65535),
  };
  s.WaitRecords(expected_records.size());
  // Each device's packets keep their order; between devices the order is the replay's.
  const Lines shown = s.Records();
  for (int index = 0; index < 5; ++index) {
    const char* what[] = {"evdev: mouse A's frame is one relative motion (num 0)",
                          "evdev: mouse B's left button, motion, wheel, right and middle; none for a frame cut by dropped events (num 1)",
                          "evdev: mouse C's high-resolution wheels, side and extra buttons (num 2)",
                          "evdev: mouse E's motion (num 3)",
                          "evdev: the tablet's absolute position on 0..65535, with its button (num 4)"};
    Check(what[index], RecordsOf(shown, index) == RecordsOf(expected_records, index),
          "got " + Join(RecordsOf(shown, index)));
  }
  Check("evdev: no record from the keyboard, none left over", shown.size() == expected_records.size(),
        std::to_string(shown.size()) + " records");
  Check("evdev: tracks 1 to 3 follow mice B, C and E", s.Label("Label3") == "X = 122 , Y = 120" &&
        s.Label("Label4") == "X = 150 , Y = 154" && s.Label("Label5") == "X = 140 , Y = 160",
        s.Label("Label3") + " | " + s.Label("Label4") + " | " + s.Label("Label5"));
  // Track 3's trail, from (100, 100) to (140, 160), runs through (120, 130) in red.
  const std::uint32_t trail = s.x.Rgb(s.form, 120, 130);
  char rgb[16];
  std::snprintf(rgb, sizeof rgb, "%06x", trail);
  Check("evdev: track 3's trail is drawn in red", trail == 0xFF0000, rgb);

  // Plugged in while running: read, outside the table; unplugged: let go quietly.
  FakeDevice late = {7, "Velmora fake mouse D", {kEvSyn, kEvKey, kEvRel}, {kBtnLeft}, {kRelX, kRelY}, {},
                     "E: 1.100000 0002 0000 7\nE: 1.100000 0002 0001 7\nE: 1.100000 0000 0000 0\n"
                     "E: 2.100000 0002 0000 -1\nE: 2.100000 0000 0000 0\n"};
  Check("evdev: a mouse plugged in", bed.Add(late));
  // The node is a link to a pty; the program holds the pty while it reads the mouse.
  gchar* root = umockdev_testbed_get_root_dir(bed.bed);
  const fs::path node_a = std::string(root) + devices[0].Node();
  g_free(root);
  std::error_code ec;
  const fs::path pty_a = fs::read_symlink(node_a, ec);
  const auto holds = [&](const fs::path& target) {
    std::error_code e;
    for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(s.program.pid) + "/fd", e)) {
      if (fs::read_symlink(fd.path(), e) == target) return true;
    }
    return false;
  };
  const bool held = !ec && holds(pty_a);
  // umockdev leaves the node behind; the kernel would not.
  umockdev_testbed_remove_device(bed.bed, devices[0].SysPath().c_str());
  fs::remove(node_a, ec);
  const Lines after = s.WaitRecords(expected_records.size() + 2);
  const Lines late_records = RecordsOf(after, -1);
  Check("evdev: a mouse plugged in while running is read, as num -1",
        late_records == (Lines{Record(-1, 0, 0, 0, 7, 7), Record(-1, 0, 0, 0, -1, 0)}), "got " + Join(late_records));
  Check("evdev: an unplugged mouse's node is closed", held && !holds(pty_a),
        pty_a.string() + (held ? " still open" : " was not open before"));

  const Lines final_shown = s.Records();
  Check("evdev: SIGTERM ends the program with exit status 0", s.Stop(), s.program.Describe());
  CheckLogMatchesMemo("evdev: log.txt holds every record shown after SIGTERM", s, final_shown);
  // One line for the dropped events, naming the device; nothing for the unplugged mouse.
  const std::string err_text = ReadFile(s.program.outdir / "stderr.txt");
  const Lines err = Split(err_text, "\n");
  Check("evdev: dropped events give one line on stderr naming the device, an unplugged mouse none",
        err.size() == 1 && err_text.ends_with("\n") && err[0].find("/dev/input/event2") != std::string::npos &&
            err[0].find("Velmora fake mouse B") != std::string::npos,
        "'" + Join(err) + "'");

  // The recording beside log.txt. umockdev hands out made-up times: only their presence counts.
  CheckRecording("evdev: log.csv holds log.txt's records, each with a time, from devices devices.csv names", s,
                 "--named");
  const std::string listed = ReadFile(s.File("devices.csv"));
  const std::string b = std::to_string(devices[1].Handle());
  Check("evdev: devices.csv holds each device's name and ids, a name with a comma and quotes as CSV writes it",
        listed.find("\n" + std::to_string(devices[0].Handle()) + ",0,Mouse,\"Velmora fake mouse A\",046d,c077,1\n") !=
                std::string::npos &&
            listed.find(",2,Mouse,\"Velmora fake mouse C, \"\"Pro\"\"\",1234,5678,1\n") != std::string::npos &&
            listed.find(",-1,Keyboard,\"Velmora fake keyboard\",1234,5678,1\n") != std::string::npos,
        listed);
  Check("evdev: mouse B's dropped events leave a row with its time and no packet fields",
        ReadFile(s.File("log.csv")).find("," + b + ",1,,,,,,,,\n") != std::string::npos);
  return failures ? 1 : 0;
}

// A mouse whose node the user cannot read: XInput2 as before, and one line on
// stderr that says how to get evdev. Root runs the program as nobody for this.
int RunEvdevDenied(const std::string& exe, const fs::path& dir) {
  if (geteuid() != 0) {
    Skip("evdev-denied", "needs root, to run the program as another user");
    return 0;
  }
  Screen x;
  if (!Connect(x)) return 1;
  fs::create_directories(dir / "bed");
  Testbed bed;
  bed.dir = dir / "bed";
  const FakeDevice mouse = {1, "Velmora fake mouse A", {kEvSyn, kEvKey, kEvRel}, {kBtnLeft}, {kRelX, kRelY}, {}, ""};
  const bool added = bed.Add(mouse);
  // Everything readable to the other user but the device itself (a link to a pty).
  gchar* root = umockdev_testbed_get_root_dir(bed.bed);
  const fs::path node = fs::path(root) / ("dev/input/event" + std::to_string(mouse.number));
  g_free(root);
  std::error_code ec;
  for (const auto& e : fs::recursive_directory_iterator(node.parent_path().parent_path().parent_path(), ec)) {
    if (!e.is_symlink()) fs::permissions(e.path(), fs::perms::all, fs::perm_options::add, ec);
  }
  fs::permissions(node.parent_path().parent_path().parent_path(), fs::perms::all, fs::perm_options::add, ec);
  fs::permissions(node, fs::perms::none, ec);  // follows the link
  fs::permissions(dir, fs::perms::all, fs::perm_options::add, ec);
  const fs::path wrapper = dir / "as-nobody.sh";
  std::ofstream(wrapper) << "#!/bin/sh\nexec setpriv --reuid=65534 --regid=65534 --clear-groups '" << exe << "'\n";
  fs::permissions(wrapper, fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec, ec);
  Check("evdev-denied: umockdev holds an unreadable fake mouse", added && !ec, ec.message());

  Session s(x);
  if (!StartOnFakeDevices(s, wrapper.string(), dir) || !WaitFor([&] { return s.Focused(); })) {
    return Check("evdev-denied: program starts", false, s.program.Describe()), 1;
  }
  const Expected expected = ExpectedDevices(x.display());
  Lines head;
  WaitFor([&] {
    const Lines memo = s.Memo();
    head.assign(memo.begin(), memo.begin() + static_cast<long>(std::min(memo.size(), expected.lines.size())));
    return head == expected.lines;
  });
  Check("evdev-denied: the XInput2 service runs, with the X server's devices", head == expected.lines,
        "got " + Join(head));
  Check("evdev-denied: SIGTERM ends the program with exit status 0", s.Stop(), s.program.Describe());
  const std::string err = ReadFile(s.program.outdir / "stderr.txt");
  Check("evdev-denied: one line on stderr names the input group and a udev uaccess rule",
        Split(err, "\n").size() == 1 && err.ends_with("\n") && err.find("input group") != std::string::npos &&
            err.find("uaccess") != std::string::npos,
        "'" + err + "'");
  return failures ? 1 : 0;
}

#else

int RunEvdev(const std::string&, const fs::path&) {
  Skip("evdev", "built without libumockdev");
  return 0;
}

int RunEvdevDenied(const std::string&, const fs::path&) {
  Skip("evdev-denied", "built without libumockdev");
  return 0;
}

#endif

}  // namespace e2e
