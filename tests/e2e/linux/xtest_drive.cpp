// Moves one X input device through XTest, so that each of several pointers can
// be driven on its own: velmora_xtest_drive [--every-ms N] DEVICE_ID DX,DY [DX,DY ...]
// Every pair is one relative motion of that device, hence one raw event; with
// --every-ms, the motions go out every N ms (N may have a fraction, 16.667 for
// 60 Hz), each at its own time from the first, as a mouse paces them: a late one
// does not put off the rest.
#include <X11/Xlib.h>
#include <X11/extensions/XInput.h>
#include <X11/extensions/XTest.h>

#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  double every_ms = 0;
  if (argc > 2 && std::strcmp(argv[1], "--every-ms") == 0) {
    every_ms = std::atof(argv[2]);
    argv += 2;
    argc -= 2;
  }
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s [--every-ms N] DEVICE_ID DX,DY [DX,DY ...]\n", argv[0]);
    return 2;
  }
  Display* display = XOpenDisplay(nullptr);
  if (!display) {
    std::fprintf(stderr, "%s: cannot open the display\n", argv[0]);
    return 1;
  }
  XDevice* device = XOpenDevice(display, static_cast<XID>(std::atoi(argv[1])));
  if (!device) {
    std::fprintf(stderr, "%s: cannot open device %s\n", argv[0], argv[1]);
    return 1;
  }
  timespec start = {};
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (int i = 2; i < argc; ++i) {
    int axes[2] = {0, 0};
    if (std::sscanf(argv[i], "%d,%d", &axes[0], &axes[1]) != 2) {
      std::fprintf(stderr, "%s: not a motion: %s\n", argv[0], argv[i]);
      return 2;
    }
    if (every_ms > 0) {
      const long long ns = start.tv_nsec + static_cast<long long>((i - 2) * every_ms * 1e6);
      const timespec due = {start.tv_sec + static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
      clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr);
    }
    XTestFakeDeviceMotionEvent(display, device, True, 0, axes, 2, CurrentTime);
    if (every_ms > 0) XFlush(display);
  }
  XSync(display, False);
  XCloseDevice(display, device);
  XCloseDisplay(display);
  return 0;
}
