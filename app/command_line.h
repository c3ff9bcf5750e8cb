// The command-line options answered before any window opens.
#pragma once

#include <cstdio>

// True when the command line holds --help or --version: the program then
// answers and ends with status 0, having opened no window and left log.txt
// alone. Any other argument is ignored, and the program starts as usual.
bool command_line_wants_answer(int argc, const char* const* argv);

// Prints the usage or the version, for the first of --help and --version.
void answer_command_line(int argc, const char* const* argv, std::FILE* out);
