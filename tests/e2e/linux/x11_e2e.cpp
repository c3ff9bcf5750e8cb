// End-to-end checks of the Linux program on a running X server: starts velmora,
// drives separate XTest pointer devices, and reads back what the window shows
// (control names, memo lines, pixels), log.txt and the exit status.
//
//   velmora_x11_e2e session     VELMORA WORKDIR   window, devices, tracks, focus, SIGTERM
//   velmora_x11_e2e burst       VELMORA WORKDIR   tracks drawn in one burst look as drawn one by one
//   velmora_x11_e2e close-wm    VELMORA WORKDIR   WM_DELETE_WINDOW ends the program
//   velmora_x11_e2e close-kill  VELMORA WORKDIR   SIGKILL once idle loses no record
//   velmora_x11_e2e two-copies  VELMORA WORKDIR   a second copy in the same folder
//   velmora_x11_e2e wm-move     VELMORA WORKDIR   moved and resized under a window manager
//   velmora_x11_e2e evdev       VELMORA WORKDIR   the evdev service on umockdev's fake devices
//   velmora_x11_e2e evdev-denied VELMORA WORKDIR  a mouse node the user cannot read: XInput2
//
// The modes are in session.cpp, close.cpp, wm_move.cpp and evdev.cpp.
// Prints "PASS name" or "FAIL name: detail" per check; exits 1 if any failed.
#include <cstdio>
#include <string>

#include "x11_e2e.h"

int main(int argc, char** argv) {
  using namespace e2e;
  if (argc < 4) {
    std::fprintf(stderr,
                 "usage: %s session|burst|close-wm|close-kill|two-copies|wm-move|evdev|evdev-denied VELMORA WORKDIR\n",
                 argv[0]);
    return 2;
  }
  const std::string mode = argv[1];
  if (mode == "session") return RunSession(argv[2], argv[3]);
  if (mode == "burst") return RunBurst(argv[2], argv[3]);
  if (mode == "close-wm" || mode == "close-kill") return RunClose(mode, argv[2], argv[3]);
  if (mode == "two-copies") return RunTwoCopies(argv[2], argv[3]);
  if (mode == "wm-move") return RunWindowManager(argv[2], argv[3]);
  if (mode == "evdev") return RunEvdev(argv[2], argv[3]);
  if (mode == "evdev-denied") return RunEvdevDenied(argv[2], argv[3]);
  std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
  return 2;
}
