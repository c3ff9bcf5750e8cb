// Where the answers to the command line go when stdout and stderr lead nowhere.
#pragma once

// A Windows GUI program starts without a console: when its stdout or stderr has no
// handle, this attaches it to the console of the program that started it (a
// command prompt). Elsewhere it does nothing.
void use_parent_console_for_output();
