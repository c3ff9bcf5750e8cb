// Moves one X input device through XTest, so that each of several pointers can
// be driven on its own: velmora_xtest_drive DEVICE_ID DX,DY [DX,DY ...]
// Every pair is one relative motion of that device, hence one raw event.
#include <X11/Xlib.h>
#include <X11/extensions/XInput.h>
#include <X11/extensions/XTest.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s DEVICE_ID DX,DY [DX,DY ...]\n", argv[0]);
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
  for (int i = 2; i < argc; ++i) {
    int axes[2] = {0, 0};
    if (std::sscanf(argv[i], "%d,%d", &axes[0], &axes[1]) != 2) {
      std::fprintf(stderr, "%s: not a motion: %s\n", argv[0], argv[i]);
      return 2;
    }
    XTestFakeDeviceMotionEvent(display, device, True, 0, axes, 2, CurrentTime);
  }
  XSync(display, False);
  XCloseDevice(display, device);
  XCloseDisplay(display);
  return 0;
}
