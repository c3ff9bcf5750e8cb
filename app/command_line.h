// The program's command line: the options it knows, read before any window
// opens.
#pragma once

#include <cstdio>
#include <string>

#include "app/run_options.h"

struct CommandLine {
  // kRun: open the window with options. kHelp, kVersion: print the answer and
  // end with status 0. kBadOption: print error and end with status 2. None but
  // kRun opens a window or touches a file.
  enum Action { kRun, kHelp, kVersion, kBadOption } action = kRun;
  RunOptions options;
  std::string error;  // kBadOption: one line naming the option, without "\n"
};

// Words that are not options are ignored. Options are words that start with
// "-", and on Windows also with "/"; "/?" asks for help everywhere. A value
// follows its option as the next word or after "=".
CommandLine parse_command_line(int argc, const char* const* argv);

// Prints the usage (kHelp), the version (kVersion) or the error (kBadOption).
void answer_command_line(const CommandLine& command_line, std::FILE* out, std::FILE* err);
