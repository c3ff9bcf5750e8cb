#include "e2e_common.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XTest.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace e2e {

int failures = 0;

namespace {

int passes = 0, skips = 0;

// The counts so far, for the runner (scripts/lib/checks.sh's counted).
void WriteCounts() {
  const char* name = std::getenv("VELMORA_COUNTS");
  if (name) std::ofstream(name) << passes << ' ' << failures << ' ' << skips << '\n';
}

}  // namespace

void Check(const std::string& name, bool ok, const std::string& detail) {
  if (ok) {
    ++passes;
    std::printf("PASS %s\n", name.c_str());
  } else {
    ++failures;
    std::printf("FAIL %s: %s\n", name.c_str(), detail.empty() ? "failed" : detail.c_str());
  }
  std::fflush(stdout);
  WriteCounts();
}

void Skip(const std::string& name, const std::string& why) {
  ++skips;
  std::printf("SKIP %s: %s\n", name.c_str(), why.c_str());
  std::fflush(stdout);
  WriteCounts();
}

bool WaitFor(const std::function<bool()>& done, double seconds, int step_ms) {
  const auto end = Clock::now() + std::chrono::duration<double>(seconds);
  while (Clock::now() < end) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(step_ms));
  }
  return done();
}

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

Lines Split(const std::string& text, const std::string& sep) {
  Lines pieces;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find(sep, start);
    if (end == std::string::npos) end = text.size();
    pieces.push_back(text.substr(start, end - start));
    start = end + sep.size();
  }
  return pieces;
}

Lines OnlyRecords(const Lines& lines) {
  Lines out;
  for (const std::string& line : lines) {
    if (line.rfind("Mouse: ", 0) == 0) out.push_back(line);
  }
  return out;
}

std::vector<int> MiceIn(const Lines& lines) {
  std::vector<int> mice;
  for (const std::string& line : lines) {
    int index = 0, id = 0;
    if (std::sscanf(line.c_str(), "Amouse[%d] = %d", &index, &id) == 2) mice.push_back(id);
  }
  return mice;
}

std::string Record(int index, std::uint16_t flags, std::uint16_t button_flags, std::uint16_t data, std::int32_t x,
                   std::int32_t y) {
  char buf[256];
  std::snprintf(buf, sizeof buf,
                "Mouse: num %d, usFlags=%04x ulButtons=%04x usButtonFlags=%04x usButtonData=%04x ulRawButtons=0000 "
                "lLastX=%04x lLastY=%04x ulExtraInformation=0000",
                index, flags, button_flags | static_cast<std::uint32_t>(data) << 16, button_flags, data,
                static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y));
  return buf;
}

bool WellFormed(const std::string& line) {
  int index = 0;
  unsigned f[8] = {};
  if (std::sscanf(line.c_str(),
                  "Mouse: num %d, usFlags=%x ulButtons=%x usButtonFlags=%x usButtonData=%x ulRawButtons=%x "
                  "lLastX=%x lLastY=%x ulExtraInformation=%x",
                  &index, &f[0], &f[1], &f[2], &f[3], &f[4], &f[5], &f[6], &f[7]) != 9) {
    return false;
  }
  return line == Record(index, static_cast<std::uint16_t>(f[0]), static_cast<std::uint16_t>(f[2]),
                        static_cast<std::uint16_t>(f[3]), static_cast<std::int32_t>(f[5]),
                        static_cast<std::int32_t>(f[6]));
}

Log ReadLog(const fs::path& path) {
  Log log;
  std::error_code ec;
  log.exists = fs::is_regular_file(path, ec);
  const std::string text = ReadFile(path);
  log.whole = text.empty() || text.ends_with("\r\n");
  log.records = Split(text, "\r\n");
  for (std::size_t i = 0; i < log.records.size(); ++i) {
    if (!WellFormed(log.records[i])) {
      log.malformed = log.records[i];
      log.malformed_at = i;
      break;
    }
  }
  return log;
}

// ---- The program under test -------------------------------------------------------

double CpuSeconds(pid_t pid, pid_t tid) {
  // Each thread's time on a processor, in nanoseconds (schedstat): finer than
  // the clock ticks of /proc/PID/stat.
  double ns = 0;
  std::error_code ec;
  bool any = false;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    if (tid > 0 && task.path().filename() != std::to_string(tid)) continue;
    std::ifstream in(task.path() / "schedstat");
    double run = 0;
    if (in >> run) {
      ns += run;
      any = true;
    }
  }
  return any ? ns / 1e9 : -1;
}

bool Program::Start(const std::string& exe, const fs::path& work, const fs::path& out) {
  // Absolute: the child opens its output files after changing directory.
  workdir = fs::absolute(work);
  outdir = fs::absolute(out);
  fs::create_directories(workdir);
  const fs::path stdout_path = outdir / "stdout.txt", stderr_path = outdir / "stderr.txt";
  pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    if (chdir(workdir.c_str()) != 0) _exit(126);
    const int o = open(stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int e = open(stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(o, 1);
    dup2(e, 2);
    // As if started from a terminal, even when this runner was started with nohup.
    signal(SIGHUP, SIG_DFL);
    // The runner may run a mode with options: VELMORA_E2E_ARGS, split at spaces.
    std::vector<std::string> words = {exe};
    words.insert(words.end(), args.begin(), args.end());
    if (const char* extra = getenv("VELMORA_E2E_ARGS")) {
      for (const std::string& w : Split(extra, " ")) {
        if (!w.empty()) words.push_back(w);
      }
    }
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    if (as_nobody && geteuid() == 0) {
      // Opened and entered as root, so neither the program's folder nor the run
      // folder's parents need be open to nobody.
      const int program = open(exe.c_str(), O_RDONLY | O_CLOEXEC);
      if (program < 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(125);
      fexecve(program, argv.data(), environ);
      _exit(127);
    }
    execv(exe.c_str(), argv.data());
    _exit(127);
  }
  return true;
}

bool Program::Exited() {
  if (status != -1) return true;
  int s = 0;
  if (pid > 0 && waitpid(pid, &s, WNOHANG) == pid) {
    status = s;
    return true;
  }
  return false;
}

bool Program::WaitExit(double seconds) { return WaitFor([&] { return Exited(); }, seconds, 5); }

void Program::Kill() {
  if (pid > 0 && !Exited()) {
    kill(pid, SIGKILL);
    WaitExit(5);
  }
}

std::string Program::Describe() const {
  if (status == -1) return "still running";
  if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
  return "status " + std::to_string(status);
}

bool Program::CleanExit() const { return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0; }

std::string Program::Stdout() const { return ReadFile(outdir / "stdout.txt"); }
std::string Program::Stderr() const { return ReadFile(outdir / "stderr.txt"); }

// ---- The X side ---------------------------------------------------------------------

extern "C" void OnLostConnection(Display*, void* flag) { *static_cast<bool*>(flag) = true; }

bool Screen::Open() {
  display_ = XOpenDisplay(nullptr);
  if (!display_) return false;
  XSetErrorHandler([](Display*, XErrorEvent* e) {
    std::fprintf(stderr, "%s: X error %d (request %d.%d)\n", program_invocation_short_name, e->error_code,
                 e->request_code, e->minor_code);
    return 0;
  });
  XSetIOErrorHandler([](Display*) { return 0; });
  XSetIOErrorExitHandler(display_, OnLostConnection, &lost_);
  root_ = DefaultRootWindow(display_);
  lines_ = XInternAtom(display_, "_VELMORA_LINES", False);
  enabled_ = XInternAtom(display_, "_VELMORA_ENABLED", False);
  net_wm_name_ = XInternAtom(display_, "_NET_WM_NAME", False);
  const Visual* v = DefaultVisual(display_, DefaultScreen(display_));
  masks_[0] = v->red_mask;
  masks_[1] = v->green_mask;
  masks_[2] = v->blue_mask;
  return true;
}

Screen::~Screen() {
  if (!display_ || lost_) return;
  for (auto& [id, dev] : devices_) XCloseDevice(display_, dev);
  XCloseDisplay(display_);
}

std::string Screen::Property(Window w, Atom property) {
  Atom type = 0;
  int format = 0;
  unsigned long n = 0, after = 0;
  unsigned char* data = nullptr;
  std::string out;
  if (XGetWindowProperty(display_, w, property, 0, 1 << 24, False, AnyPropertyType, &type, &format, &n, &after,
                         &data) == Success &&
      data) {
    if (format == 8) out.assign(reinterpret_cast<char*>(data), n);
    XFree(data);
  }
  return out;
}

long Screen::Number(Window w, Atom property, Atom want) {
  Atom type = 0;
  int format = 0;
  unsigned long n = 0, after = 0;
  unsigned char* data = nullptr;
  long value = -1;
  if (XGetWindowProperty(display_, w, property, 0, 1, False, want, &type, &format, &n, &after, &data) == Success &&
      data) {
    if (format == 32 && n == 1) value = *reinterpret_cast<long*>(data);
    XFree(data);
  }
  return value;
}

std::string Screen::Name(Window w) { return Property(w, XA_WM_NAME); }
std::string Screen::NetName(Window w) { return Property(w, net_wm_name_); }
long Screen::Enabled(Window w) { return Number(w, enabled_, XA_CARDINAL); }

Window Screen::FindByInstance(Window parent, const std::string& name, Window except) {
  Window root = 0, up = 0, *kids = nullptr;
  unsigned n = 0;
  Window found = 0;
  if (XQueryTree(display_, parent, &root, &up, &kids, &n)) {
    for (unsigned i = 0; i < n && !found; ++i) {
      if (kids[i] == except) continue;
      XClassHint hint = {};
      if (XGetClassHint(display_, kids[i], &hint)) {
        if (hint.res_name && name == hint.res_name) found = kids[i];
        XFree(hint.res_name);
        XFree(hint.res_class);
      }
    }
    if (kids) XFree(kids);
  }
  return found;
}

Window Screen::FindTopLevel(const std::string& name, Window except) {
  if (Window w = FindByInstance(root_, name, except)) return w;
  Window root = 0, up = 0, *kids = nullptr;
  unsigned n = 0;
  Window found = 0;
  if (XQueryTree(display_, root_, &root, &up, &kids, &n)) {
    for (unsigned i = 0; i < n && !found; ++i) found = FindByInstance(kids[i], name, except);
    if (kids) XFree(kids);
  }
  return found;
}

Window Screen::Focus() {
  Window focus = 0;
  int revert = 0;
  XGetInputFocus(display_, &focus, &revert);
  return focus;
}

Lines Screen::MemoLines(Window memo) { return Split(Property(memo, lines_), "\n"); }

std::uint32_t Screen::Rgb(Window w, int x, int y) {
  const std::vector<std::uint32_t> one = Rgbs(w, x, y, 1, 1);
  return one.empty() ? 0xFFFFFFFFu : one[0];
}

std::vector<std::uint32_t> Screen::Rgbs(Window w, int x, int y, int width, int height) {
  std::vector<std::uint32_t> out;
  if (width <= 0 || height <= 0) return out;
  XImage* image = XGetImage(display_, w, x, y, static_cast<unsigned>(width), static_cast<unsigned>(height), AllPlanes,
                            ZPixmap);
  if (!image) return out;
  for (int row = 0; row < height; ++row) {
    for (int col = 0; col < width; ++col) {
      const unsigned long pixel = XGetPixel(image, col, row);
      std::uint32_t rgb = 0;
      for (int c = 0; c < 3; ++c) {
        unsigned long mask = masks_[c];
        int shift = 0;
        while (mask && !(mask & 1)) {
          mask >>= 1;
          ++shift;
        }
        const unsigned long v = mask ? ((pixel >> shift) & mask) * 255 / mask : 0;
        rgb = (rgb << 8) | static_cast<std::uint32_t>(v);
      }
      out.push_back(rgb);
    }
  }
  XDestroyImage(image);
  return out;
}

XDevice* Screen::Device(int id) {
  auto found = devices_.find(id);
  if (found != devices_.end()) return found->second;
  XDevice* dev = XOpenDevice(display_, static_cast<XID>(id));
  if (dev) devices_[id] = dev;
  return dev;
}

void Screen::Move(int id, int dx, int dy) {
  int axes[2] = {dx, dy};
  if (XDevice* dev = Device(id)) XTestFakeDeviceMotionEvent(display_, dev, True, 0, axes, 2, CurrentTime);
}

void Screen::Click(int id, unsigned button, bool press) {
  if (XDevice* dev = Device(id)) XTestFakeDeviceButtonEvent(display_, dev, button, press, nullptr, 0, CurrentTime);
}

void Screen::ParkMasters(const std::vector<int>& slaves) {
  int n = 0;
  XIDeviceInfo* info = XIQueryDevice(display_, XIAllDevices, &n);
  for (int i = 0; i < n; ++i) {
    if (std::find(slaves.begin(), slaves.end(), info[i].deviceid) == slaves.end()) continue;
    XIWarpPointer(display_, info[i].attachment, None, root_, 0, 0, 0, 0, 1200, 950);
  }
  XIFreeDeviceInfo(info);
  XSync(display_, False);
}

// ---- The program and its window ------------------------------------------------------

bool Session::Start(const std::string& exe, const fs::path& dir, const fs::path& out, Window other) {
  if (!program.Start(exe, dir, out.empty() ? dir : out)) return false;
  const bool shown = WaitFor([&] { return (form = x.FindTopLevel("velmora", other)) != 0 || program.Exited(); });
  if (!shown || program.Exited()) return false;
  // The form exists a moment before its controls do.
  return WaitFor([&] {
    bool all = true;
    for (const char* name : {"Label1", "Label2", "Label3", "Label4", "Label5", "Label6", "btnCopy", "Edit1", "Memo1"}) {
      all = (controls[name] = x.FindByInstance(form, name)) != 0 && all;
    }
    return all;
  });
}

bool Session::Ready(std::size_t mice, std::string& why) {
  if (!form) {
    why = "no window; " + program.Describe();
  } else if (!WaitFor([&] { return Focused(); })) {
    why = "the window never took the focus";
  } else if (!WaitFor([&] { return Mice().size() >= mice; })) {
    why = "the memo lists " + std::to_string(Mice().size()) + " mice, not " + std::to_string(mice);
  } else {
    return true;
  }
  return false;
}

Lines Session::WaitRecords(std::size_t count) {
  Lines r;
  WaitFor([&] { return (r = Records()).size() >= count; });
  return r;
}

void Session::Move(int id, int dx, int dy) {
  x.Move(id, dx, dy);
  XSync(x.display(), False);
}

void Session::Click(int id, unsigned button, bool press) {
  x.Click(id, button, press);
  XSync(x.display(), False);
}

void CheckRecording(const std::string& name, const Session& s, const std::string& options) {
  const std::string command = "python3 '" VELMORA_SOURCE_DIR "/tests/e2e/check_recording.py' '" +
                              s.Folder().string() + "' " + options + " 2>&1";
  FILE* p = popen(command.c_str(), "r");
  std::string said;
  char buf[512];
  while (p && std::fgets(buf, sizeof buf, p)) said += buf;
  const int status = p ? pclose(p) : -1;
  Check(name, status == 0, said);
}

std::string Join(const Lines& lines, std::size_t from) {
  std::string s;
  for (std::size_t i = from; i < lines.size(); ++i) s += (i > from ? " | " : "") + lines[i];
  return s;
}

Expected ExpectedDevices(Display* d) {
  Expected e;
  int n = 0;
  XIDeviceInfo* info = XIQueryDevice(d, XIAllDevices, &n);
  std::vector<std::pair<int, int>> listed;  // id, type
  for (int i = 0; i < n; ++i) {
    const XIDeviceInfo& dev = info[i];
    e.names[dev.deviceid] = dev.name;
    if (!dev.enabled || dev.use == XIMasterPointer || dev.use == XIMasterKeyboard) continue;
    int type = dev.use == XISlavePointer ? 0 : dev.use == XISlaveKeyboard ? 1 : -1;
    if (type < 0) {
      bool keys = false, pointer = false;
      for (int c = 0; c < dev.num_classes; ++c) {
        keys = keys || dev.classes[c]->type == XIKeyClass;
        pointer = pointer || dev.classes[c]->type == XIButtonClass || dev.classes[c]->type == XIValuatorClass;
      }
      type = pointer && !keys ? 0 : keys ? 1 : 2;
    }
    listed.emplace_back(dev.deviceid, type);
  }
  XIFreeDeviceInfo(info);
  std::sort(listed.begin(), listed.end());
  const char* words[] = {"Mouse", "Keyboard", "HID"};
  for (std::size_t i = 0; i < listed.size() && i < 10; ++i) {
    const auto [id, type] = listed[i];
    e.lines.push_back(std::to_string(i) + " " + std::to_string(id) + "  " + words[type]);
    if (type == 0) {
      e.lines.push_back("Amouse[" + std::to_string(e.mice.size()) + "] = " + std::to_string(id));
      e.mice.push_back(id);
    }
  }
  return e;
}

// The log holds every record the memo showed, and nothing else.
void CheckLogMatchesMemo(const std::string& name, const Session& s, const Lines& shown) {
  const Log log = s.ReadLog();
  const Lines& logged = log.records;
  std::string detail = log.whole ? "" : "the last record has no line end; ";
  if (logged != shown) {
    detail = "log has " + std::to_string(logged.size()) + " records, memo showed " + std::to_string(shown.size());
    for (std::size_t i = 0; i < std::min(logged.size(), shown.size()); ++i) {
      if (logged[i] != shown[i]) {
        detail += "; first difference at " + std::to_string(i) + ": '" + logged[i] + "' vs '" + shown[i] + "'";
        break;
      }
    }
  }
  Check(name, log.whole && logged == shown && !shown.empty(), detail);
}

// Every mode starts here: false, with a failed check, when there is no display.
bool Connect(Screen& x) {
  const bool open = x.Open();
  if (!open) Check("connect to the X server", false, "no display");
  return open;
}

}  // namespace e2e
