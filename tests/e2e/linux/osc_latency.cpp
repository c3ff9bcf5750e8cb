// The OSC stream's latency on Linux, for scripts/bench: the program runs on Xvfb
// with --osc to oscdump on this machine; one XTest motion at a time goes to the
// server, and each is timed from the moment the server has taken it (XSync
// returns: its raw event is on its way to the program) to the moment oscdump's
// line for it reaches this process. That includes the program's wait for the X
// connection and its handling up to the send, so it bounds the time from the
// packet's handling to oscdump's print from above.
//
//   velmora_osc_latency VELMORA DIR COUNT
//
// Prints "figures ..." lines with the median, 99th percentile and worst in
// microseconds; exits 1 when it could not measure.
#include <X11/Xlib.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "e2e_common.h"

namespace {

using namespace e2e;
using e2e::Screen;  // not Xlib's

// oscdump -L on a free port, its stdout read through a pipe.
struct Dump {
  pid_t pid = -1;
  int out = -1;
  std::string pending;

  bool Start(const std::string& port) {
    int fds[2];
    if (pipe(fds) != 0) return false;
    pid = fork();
    if (pid == 0) {
      dup2(fds[1], 1);
      close(fds[0]);
      execlp("oscdump", "oscdump", "-L", port.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    out = fds[0];
    return pid > 0;
  }
  // The next line that holds a packet, within timeout_ms; false without one.
  bool NextPacket(int timeout_ms) {
    for (;;) {
      for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
        const bool packet = pending.compare(0, end, "/velmora/packet") == 0 ||
                            pending.substr(0, end).find(" /velmora/packet ") != std::string::npos;
        pending.erase(0, end + 1);
        if (packet) return true;
      }
      pollfd p = {out, POLLIN, 0};
      if (poll(&p, 1, timeout_ms) <= 0) return false;
      char buf[4096];
      const ssize_t n = read(out, buf, sizeof buf);
      if (n <= 0) return false;
      pending.append(buf, static_cast<std::size_t>(n));
    }
  }
  ~Dump() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
    if (out >= 0) close(out);
  }
};

double Percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s VELMORA DIR COUNT  (VELMORA_E2E_ARGS holds --osc 127.0.0.1:PORT)\n", argv[0]);
    return 2;
  }
  const char* args = std::getenv("VELMORA_E2E_ARGS");
  const std::string target = args ? args : "";
  const std::string port = target.substr(target.rfind(':') + 1);
  const int count = std::atoi(argv[3]);

  Dump dump;
  if (!dump.Start(port)) return std::printf("FAIL oscdump does not start\n"), 1;
  e2e::Screen x;
  if (!x.Open()) return std::printf("FAIL no display\n"), 1;
  e2e::Session v(x);
  std::string why;
  if (!v.Start(argv[1], argv[2]) || !v.Ready(2, why)) return std::printf("FAIL velmora starts: %s\n", why.c_str()), 1;
  const int mouse = v.Mice()[1];
  x.ParkMasters({mouse});

  std::vector<double> us;
  int lost = 0;
  for (int i = 0; i < count + 50; ++i) {
    x.Move(mouse, i % 2 ? -1 : 1, 0);
    XSync(x.display(), False);
    const Clock::time_point sent = Clock::now();
    if (!dump.NextPacket(1000)) {
      ++lost;
      continue;
    }
    // The first 50 warm up.
    if (i >= 50) us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - sent).count());
  }
  v.Stop();
  if (us.empty()) return std::printf("FAIL no packet reached oscdump\n"), 1;
  std::printf("figures stream latency over %zu packets, from the server taking the motion to oscdump's line: "
              "median %.0f us, p99 %.0f us, worst %.0f us; %d not seen within 1 s\n",
              us.size(), Percentile(us, 0.5), Percentile(us, 0.99), Percentile(us, 1.0), lost);
  return lost > count / 100 ? 1 : 0;
}
