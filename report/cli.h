// velmora-report's command line: reads a recording, prints its figures and
// writes report.html beside it.
#pragma once

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "report/recording.h"

namespace report {

// args without the program name; returns the exit status: 0, 1 for bad input
// or a page that cannot be written, 2 for a bad command line. out_is_console:
// out is the program's standard output, so --follow may draw on it in place.
// program: the name it was started as, for the usage; "/?" and -h mean --help.
int run_report(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
               bool out_is_console = false, const std::string& program = "velmora-report");

// Throws, naming log, when no device of the recording has a packet.
void expect_packets(const Recording& recording, const std::filesystem::path& log);
// The end of a report: the figures on out (as a table, as JSON, or not at all)
// and report.html written in folder; the exit status.
enum class Printed { kTable, kJson, kNothing };
int finish_report(const Recording& recording, const std::filesystem::path& folder, Printed printed, std::ostream& out,
                  std::ostream& err);

}  // namespace report
