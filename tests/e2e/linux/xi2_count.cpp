// A bare XInput2 listener, the yardstick for how fast velmora takes a flood:
//   velmora_xi2_count EVERY DEVICE_ID...
// Selects raw motion of all devices on the root window and counts the events
// of the given devices, keeping only those that come from the slave itself
// (deviceid == sourceid), the same ones velmora turns into packets. After each
// EVERY events it replaces the root property _VELMORA_COUNTED with the count,
// so that the server's timestamp of that change marks the moment. Prints
// "ready" once the selection is in place; ends on stdin's end or a lost server.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <set>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s EVERY DEVICE_ID...\n", argv[0]);
    return 2;
  }
  const long every = std::atol(argv[1]);
  std::set<int> devices;
  for (int i = 2; i < argc; ++i) devices.insert(std::atoi(argv[i]));

  Display* display = XOpenDisplay(nullptr);
  if (!display) {
    std::fprintf(stderr, "%s: cannot open the display\n", argv[0]);
    return 1;
  }
  int opcode = 0, event = 0, error = 0, major = 2, minor = 2;
  if (!XQueryExtension(display, "XInputExtension", &opcode, &event, &error) ||
      XIQueryVersion(display, &major, &minor) != Success) {
    std::fprintf(stderr, "%s: no XInput 2\n", argv[0]);
    return 1;
  }
  const Window root = DefaultRootWindow(display);
  unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
  XISetMask(bits, XI_RawMotion);
  XIEventMask mask = {XIAllDevices, static_cast<int>(sizeof bits), bits};
  XISelectEvents(display, root, &mask, 1);
  const Atom counted = XInternAtom(display, "_VELMORA_COUNTED", False);
  XSync(display, False);
  std::printf("ready\n");
  std::fflush(stdout);

  long count = 0;
  pollfd fds[2] = {{ConnectionNumber(display), POLLIN, 0}, {0, POLLIN, 0}};
  for (;;) {
    while (XPending(display) > 0) {
      XEvent ev;
      XNextEvent(display, &ev);
      XGenericEventCookie* cookie = &ev.xcookie;
      if (cookie->type != GenericEvent || cookie->extension != opcode || !XGetEventData(display, cookie)) continue;
      const auto* raw = static_cast<const XIRawEvent*>(cookie->data);
      if (cookie->evtype == XI_RawMotion && raw->deviceid == raw->sourceid && devices.count(raw->sourceid)) {
        if (++count % every == 0) {
          const long value = count;
          XChangeProperty(display, root, counted, XA_INTEGER, 32, PropModeReplace,
                          reinterpret_cast<const unsigned char*>(&value), 1);
          XFlush(display);
        }
      }
      XFreeEventData(display, cookie);
    }
    if (poll(fds, 2, -1) < 0) return 1;
    if (fds[1].revents) {
      char buf[64];
      if (read(0, buf, sizeof buf) <= 0) break;
    }
  }
  XCloseDisplay(display);
  return 0;
}
