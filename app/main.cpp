// The executable's entry; the GUI subsystem's start-up code calls main as well.
#include <cstdio>

#include "app/command_line.h"
#include "app/parent_console.h"
#include "app/principal.h"
#include "log/osc_stream.h"

int main(int argc, char** argv) {
  const CommandLine command_line = parse_command_line(argc, argv);
  if (command_line.action == CommandLine::kRun) {
    const osc::CommandLineStream stream(command_line.options.osc, command_line.options.osc_target);
    return velmora_main(command_line.options);
  }
  use_parent_console_for_output();
  answer_command_line(command_line, stdout, stderr);
  return command_line.action == CommandLine::kBadOption ? 2 : 0;
}
