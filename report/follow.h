// velmora-report --follow: each device's figures, live, while Velmora records.
#pragma once

#include <filesystem>
#include <ostream>

#include "report/terminal.h"

namespace report {

// Follows the recording in folder until the program writing it ends or the
// user presses Ctrl-C, then prints what velmora-report prints on the folder and
// writes report.html; returns the exit status. With json, one line of figures
// each second instead of the view. Throws InputError on a recording that is not one.
int follow_recording(const std::filesystem::path& folder, bool json, const Terminal& terminal, std::ostream& out,
                     std::ostream& err);

}  // namespace report
