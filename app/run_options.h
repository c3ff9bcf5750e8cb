// What the command line asks of a run of the program.
#pragma once

struct RunOptions {
  // Read every mouse whatever window has the focus (--background).
  bool background = false;
};
