// velmora-report: each device's figures from a Velmora recording.
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "report/cli.h"

#ifdef _WIN32
#include <windows.h>
// windows.h first: shellapi.h needs its types.
#include <shellapi.h>

namespace {

// The command line as UTF-8. The narrow argv is in the ANSI code page, which
// turns letters outside it (Cyrillic on a Western system, say) into '?'.
bool utf8_args(std::vector<std::string>& args) {
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!wide) return false;
  for (int i = 1; i < count; ++i) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
    std::string arg(size > 1 ? static_cast<std::size_t>(size - 1) : 0, '\0');
    if (size > 1) WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, arg.data(), size, nullptr, nullptr);
    args.push_back(std::move(arg));
  }
  LocalFree(wide);
  return true;
}

// Names and paths are printed as UTF-8; the console shows them as such while
// the program runs, and gets its own code page back after.
class Utf8Console {
 public:
  Utf8Console() : previous_(GetConsoleOutputCP()) {
    if (previous_ != 0) SetConsoleOutputCP(CP_UTF8);
  }
  ~Utf8Console() {
    if (previous_ != 0) SetConsoleOutputCP(previous_);
  }
  Utf8Console(const Utf8Console&) = delete;
  Utf8Console& operator=(const Utf8Console&) = delete;

 private:
  UINT previous_;
};

}  // namespace
#endif

// The name the program was started as, without its folder or ".exe".
static std::string program_name(const char* argv0) {
  if (argv0 == nullptr || *argv0 == '\0') return "";
  std::filesystem::path path(argv0);
  std::string ext = path.extension().string();
  for (char& c : ext) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  if (ext == ".exe") path.replace_extension();
  return path.filename().string();
}

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  std::vector<std::string> args;
#ifdef _WIN32
  const Utf8Console console;
  if (!utf8_args(args)) args.assign(argv + 1, argv + argc);
#else
  args.assign(argv + 1, argv + argc);
#endif
  const int status = report::run_report(args, std::cout, std::cerr, true, program_name(argc > 0 ? argv[0] : nullptr));
  std::cout.flush();
  return status;
}
