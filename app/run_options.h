// What the command line asks of a run of the program.
#pragma once

#include <string>

struct RunOptions {
  // Read every mouse whatever window has the focus (--background).
  bool background = false;
  // Stream every packet as OSC over UDP to osc_target, HOST:PORT (--osc).
  bool osc = false;
  std::string osc_target;
};
