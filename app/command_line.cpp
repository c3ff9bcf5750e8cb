#include "app/command_line.h"

#include <cstring>

#ifndef VELMORA_VERSION
#error "VELMORA_VERSION is set by the build"
#endif

namespace {

#ifdef _WIN32
constexpr const char kWhere[] =
    "in the folder Velmora was started in (double-clicked: the folder of the\n"
    ".exe; from a command prompt: its current folder)";
constexpr bool kSlashOptions = true;
#else
constexpr const char kWhere[] =
    "in the folder Velmora was started from (from the desktop's menu: the\n"
    "launcher's folder, usually your home folder)";
constexpr bool kSlashOptions = false;
#endif

void PrintUsage(std::FILE* out) {
  std::fprintf(out,
               "usage: velmora [--background] [--osc HOST:PORT] [--help | --version]\n"
               "\n"
               "Reads every mouse separately, shows each mouse packet in its window and\n"
               "writes it %s:\n"
               "  log.txt      one line of text per packet\n"
               "  log.csv      one row per packet, with its time (velmora-report reads it)\n"
               "  devices.csv  one row per device: name, vendor and product ids, clock\n"
               "Each start empties them. Only one copy keeps a log in a folder; the title\n"
               "of one that keeps none says why.\n"
               "\n"
               "  --background  read the mice also while another window has the focus\n"
               "                (the title then reads \"Velmora (background)\")\n"
               "  --osc HOST:PORT  also send each packet as it comes, as an OSC message\n"
               "                over UDP to HOST:PORT (127.0.0.1:9000, [::1]:9000, a name)\n"
               "  -h, --help    print this help and exit (also /?)\n"
               "  --version     print the version and exit\n"
               "\n"
               "Other words are ignored; an unknown option ends the program with status 2.\n",
               kWhere);
}

// The options velmora knows. One with a value takes the next word, or what
// follows "=" in the same word.
struct Option {
  const char* name;
  bool takes_value;
  void (*apply)(CommandLine& command_line, const char* value);
};

void AskHelp(CommandLine& c, const char*) {
  if (c.action == CommandLine::kRun) c.action = CommandLine::kHelp;
}
void AskVersion(CommandLine& c, const char*) {
  if (c.action == CommandLine::kRun) c.action = CommandLine::kVersion;
}
void AskBackground(CommandLine& c, const char*) { c.options.background = true; }
void StreamTo(CommandLine& c, const char* value) {
  c.options.osc = true;
  c.options.osc_target = value;
}

// The first of --help and --version answers.
const Option kOptions[] = {
    {"--help", false, AskHelp},
    {"-h", false, AskHelp},
    {"/?", false, AskHelp},
    {"--version", false, AskVersion},
    {"--background", false, AskBackground},
    {"--osc", true, StreamTo},
};

bool IsOption(const char* word) {
  if (std::strcmp(word, "/?") == 0) return true;
  if (word[0] == '-' && word[1] != '\0') return true;
  return kSlashOptions && word[0] == '/' && word[1] != '\0';
}

// The known option this word names, with its value if the word holds one after "=".
const Option* Find(const char* word, const char*& inline_value) {
  inline_value = nullptr;
  for (const Option& option : kOptions) {
    const std::size_t length = std::strlen(option.name);
    if (std::strncmp(word, option.name, length) != 0) continue;
    if (word[length] == '\0') return &option;
    if (option.takes_value && word[length] == '=') {
      inline_value = word + length + 1;
      return &option;
    }
  }
  return nullptr;
}

CommandLine Refuse(std::string error) {
  CommandLine refused;
  refused.action = CommandLine::kBadOption;
  refused.error = "velmora: " + std::move(error);
  return refused;
}

}  // namespace

CommandLine parse_command_line(int argc, const char* const* argv) {
  CommandLine command_line;
  for (int i = 1; i < argc; ++i) {
    const char* word = argv[i];
    if (!IsOption(word)) continue;
    const char* value = nullptr;
    const Option* option = Find(word, value);
    if (option == nullptr) return Refuse(std::string("unknown option ") + word + " (try --help)");
    if (option->takes_value && value == nullptr) {
      if (i + 1 >= argc) return Refuse(std::string(option->name) + " needs a value (try --help)");
      value = argv[++i];
    }
    option->apply(command_line, value);
  }
  return command_line;
}

void answer_command_line(const CommandLine& command_line, std::FILE* out, std::FILE* err) {
  switch (command_line.action) {
    case CommandLine::kRun: return;
    case CommandLine::kHelp: PrintUsage(out); break;
    case CommandLine::kVersion: std::fprintf(out, "velmora %s\n", VELMORA_VERSION); break;
    case CommandLine::kBadOption: std::fprintf(err, "%s\n", command_line.error.c_str()); break;
  }
  std::fflush(out);
  std::fflush(err);
}
