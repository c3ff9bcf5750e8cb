// velmora-report: each device's figures from a Velmora recording.
#include <iostream>
#include <string>
#include <vector>

#include "report/cli.h"

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  const std::vector<std::string> args(argv + 1, argv + argc);
  const int status = report::run_report(args, std::cout, std::cerr, true);
  std::cout.flush();
  return status;
}
