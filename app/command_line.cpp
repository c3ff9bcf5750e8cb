#include "app/command_line.h"

#include <cstring>

namespace {
constexpr const char kUsage[] =
    "usage: velmora [--help | --version]\n"
    "\n"
    "Reads every mouse separately and writes each mouse packet to log.txt in the\n"
    "folder Velmora was started from (from the desktop's menu: the launcher's\n"
    "folder, usually your home folder), and shows it in its window.\n"
    "\n"
    "  --help     print this help and exit\n"
    "  --version  print the version and exit\n"
    "  --osc HOST:PORT  also send each packet as it comes, as an OSC message over\n"
    "             UDP to HOST:PORT (127.0.0.1:9000, [::1]:9000, a host name)\n"
    "\n"
    "Other arguments are ignored.\n";

const char* FirstAnsweredOption(int argc, const char* const* argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "--version") == 0) return argv[i];
  }
  return nullptr;
}
}  // namespace

bool command_line_wants_answer(int argc, const char* const* argv) { return FirstAnsweredOption(argc, argv) != nullptr; }

void answer_command_line(int argc, const char* const* argv, std::FILE* out) {
  const char* option = FirstAnsweredOption(argc, argv);
  if (option == nullptr) return;
  if (std::strcmp(option, "--version") == 0) {
    std::fprintf(out, "velmora %s\n", VELMORA_VERSION);
  } else {
    std::fputs(kUsage, out);
  }
  std::fflush(out);
}
