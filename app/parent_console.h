// Where the answers to --help and --version go when stdout leads nowhere.
#pragma once

// A Windows GUI program starts without a console: when its stdout has no
// handle, this attaches it to the console of the program that started it (a
// command prompt). Elsewhere it does nothing.
void use_parent_console_for_output();
