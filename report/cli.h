// velmora-report's command line: reads a recording, prints its figures and
// writes report.html beside it.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace report {

// args without the program name; returns the exit status: 0, 1 for bad input
// or a page that cannot be written, 2 for a bad command line.
int run_report(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace report
