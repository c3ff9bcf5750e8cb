// The executable's entry; the GUI subsystem's start-up code calls main as well.
#include <cstdio>

#include "app/command_line.h"
#include "app/parent_console.h"
#include "app/principal.h"
#include "log/osc_stream.h"

int main(int argc, char** argv) {
  if (command_line_wants_answer(argc, argv)) {
    use_parent_console_for_output();
    answer_command_line(argc, argv, stdout);
    return 0;
  }
  const osc::CommandLineStream stream(argc, argv);
  return velmora_main();
}
