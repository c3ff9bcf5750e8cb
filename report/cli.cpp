// velmora-report's command line.
#include "report/cli.h"

#include <cerrno>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <memory>

#include "log/file_lock.h"
#include "report/csv_reader.h"
#include "report/follow.h"
#include "report/recording.h"
#include "report/report_output.h"
#include "report/report_page.h"

#ifndef VELMORA_VERSION
#error "VELMORA_VERSION is set by the build"
#endif

namespace report {
namespace {

namespace fs = std::filesystem;

constexpr const char* kUsage =
    "Usage: velmora-report [--json] [FOLDER | log.csv]\n"
    "       velmora-report --follow [--json] [FOLDER]\n"
    "Reads a Velmora recording (log.csv and devices.csv, in the current folder by\n"
    "default), prints each device's figures as a table (as JSON with --json) and\n"
    "writes report.html beside the recording.\n"
    "\n"
    "  --json       print {\"devices\": [...]} instead of the table\n"
    "  --follow     show the figures live while Velmora records in FOLDER, until it\n"
    "               ends or Ctrl-C; then print the table and write report.html\n"
    "               (with --json: {\"time_s\": ..., \"devices\": [...]} each second)\n"
    "  --help       show this help and exit\n"
    "  --version    show the version and exit\n";

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

File open_file(const fs::path& path, bool write) {
#ifdef _WIN32
  return File(_wfopen(path.c_str(), write ? L"wb" : L"rb"));
#else
  return File(std::fopen(path.c_str(), write ? "wb" : "rb"));
#endif
}

// Paths to and from the UTF-8 of the command line and the messages: on Windows
// a narrow path is in the ANSI code page, which cannot hold every name.
fs::path path_of(const std::string& utf8) { return fs::path(std::u8string(utf8.begin(), utf8.end())); }
std::string text_of(const fs::path& path) {
  const std::u8string utf8 = path.u8string();
  return std::string(utf8.begin(), utf8.end());
}

std::string reason(int error) { return error ? std::string(" (") + std::strerror(error) + ")" : std::string(); }

// Opens path, or throws naming it and why.
File open_recording_file(const fs::path& path) {
  std::error_code ignored;
  if (fs::is_directory(path, ignored)) throw InputError(text_of(path) + ": is a folder, not a file");
  errno = 0;
  File file = open_file(path, false);
  if (!file) {
    const int why = errno;
    throw InputError(text_of(path) + ": cannot be opened" + reason(why));
  }
  return file;
}

// Writes the whole text to path, or throws naming it and why.
void write_file(const fs::path& path, const std::string& text) {
  errno = 0;
  File file = open_file(path, true);
  int why = errno;
  if (file) {
    errno = 0;
    const bool written = std::fwrite(text.data(), 1, text.size(), file.get()) == text.size();
    why = errno;
    if (std::fclose(file.release()) == 0 && written) return;
    if (why == 0) why = errno;
  }
  throw InputError(text_of(path) + ": cannot be written" + reason(why));
}

struct Options {
  bool json = false;
  bool follow = false;
  bool help = false;
  bool version = false;
  std::string target = ".";
  std::string program = "velmora-report";  // as it was started, for the usage
};

// The usage, naming the program as the user started it (velmora-report-x64, say).
std::string UsageFor(const std::string& program) {
  std::string usage = kUsage;
  const std::string name = "velmora-report ";
  for (std::size_t at = usage.find(name); at != std::string::npos; at = usage.find(name, at + program.size() + 1)) {
    usage.replace(at, name.size(), program + " ");
  }
  return usage;
}

// False, with a message on err, on a command line that is not one.
bool parse_options(const std::vector<std::string>& args, Options& options, std::ostream& err) {
  bool have_target = false;
  bool options_end = false;
  for (const std::string& arg : args) {
    if (!options_end && arg == "--") {
      options_end = true;
    } else if (!options_end && arg == "--json") {
      options.json = true;
    } else if (!options_end && arg == "--follow") {
      options.follow = true;
    } else if (!options_end && (arg == "--help" || arg == "-h" || arg == "/?")) {
      options.help = true;
    } else if (!options_end && arg == "--version") {
      options.version = true;
    } else if (!options_end && arg.size() > 1 && arg[0] == '-') {
      err << "velmora-report: unknown option " << arg << "\n" << UsageFor(options.program);
      return false;
    } else if (have_target) {
      err << "velmora-report: one recording at a time (" << options.target << " and " << arg << ")\n" << UsageFor(options.program);
      return false;
    } else {
      options.target = arg;
      have_target = true;
    }
  }
  return true;
}

// The recording's folder, from a folder or its log.csv.
fs::path recording_folder(const std::string& target) {
  const fs::path path = path_of(target);
  std::error_code error;
  const fs::file_status status = fs::status(path, error);
  if (!fs::exists(status)) throw InputError(target + ": no such file or folder");
  if (fs::is_directory(status)) return path;
  return path.has_parent_path() ? path.parent_path() : fs::path(".");
}

// Says on err that the figures are partial when a copy of Velmora still writes the recording.
void say_if_partial(const fs::path& folder, std::ostream& err) {
  if (packetlog::probe_log_lock(folder / "log.txt") != packetlog::LockHolder::kHeld) return;
  err << "velmora-report: Velmora is still recording in " << text_of(folder)
      << ": these figures are partial; velmora-report --follow shows them live until it ends\n";
}

// A folder with neither file holds no recording; say where one comes from.
void expect_recording(const fs::path& folder, const fs::path& devices, const fs::path& log) {
  std::error_code ignored;
  if (fs::exists(devices, ignored) || fs::exists(log, ignored)) return;
  throw InputError(text_of(folder) +
                   ": no recording here (no log.csv or devices.csv); velmora writes one, beside its log.txt, "
                   "in the folder it runs in");
}

int report(const Options& options, std::ostream& out, std::ostream& err) {
  const fs::path folder = recording_folder(options.target);
  const bool whole_folder = fs::is_directory(path_of(options.target));
  const fs::path devices_path = folder / "devices.csv";
  const fs::path log_path = whole_folder ? folder / "log.csv" : path_of(options.target);
  if (whole_folder) expect_recording(folder, devices_path, log_path);

  Recording recording;
  read_devices(open_recording_file(devices_path).get(), text_of(devices_path), recording, err);
  read_log(open_recording_file(log_path).get(), text_of(log_path), recording, err);
  expect_packets(recording, log_path);
  say_if_partial(folder, err);
  return finish_report(recording, folder, options.json ? Printed::kJson : Printed::kTable, out, err);
}

int follow(const Options& options, std::ostream& out, std::ostream& err, bool out_is_console) {
  // A folder, or the log.csv in it.
  fs::path folder = path_of(options.target);
  std::error_code error;
  if (fs::is_regular_file(folder, error) && folder.filename() == "log.csv") {
    folder = folder.has_parent_path() ? folder.parent_path() : fs::path(".");
  }
  if (!fs::is_directory(folder, error)) {
    throw InputError(options.target + (fs::exists(folder, error) ? ": not a folder (--follow follows a folder)"
                                                                 : ": no such folder"));
  }
  const Terminal terminal = out_is_console && !options.json ? open_terminal() : Terminal{};
  const int status = follow_recording(folder, options.json, terminal, out, err);
  restore_terminal();
  return status;
}

}  // namespace

void expect_packets(const Recording& recording, const fs::path& log) {
  const bool any_packets = std::any_of(recording.devices.begin(), recording.devices.end(),
                                       [](const Device& device) { return device.stats.packets() > 0; });
  if (!any_packets) {
    throw InputError(text_of(log) + ": no packets (no mouse moved, clicked or turned its wheel while velmora "
                     "recorded)");
  }
}

int finish_report(const Recording& recording, const fs::path& folder, Printed printed, std::ostream& out,
                  std::ostream& err) {
  const std::vector<DeviceReport> reports = device_reports(recording);
  if (printed == Printed::kJson) write_json(out, reports);
  if (printed == Printed::kTable) write_table(out, reports);

  const fs::path page_path = folder / "report.html";
  std::ostringstream page;
  write_page(page, reports, text_of(fs::absolute(folder).lexically_normal()));
  try {
    write_file(page_path, page.str());
  } catch (const InputError& error) {
    err << "velmora-report: " << error.what() << '\n';
    return 1;
  }
  if (printed == Printed::kTable) out << "page: " << text_of(page_path) << '\n';
  return 0;
}

int run_report(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, bool out_is_console,
               const std::string& program) {
  Options options;
  if (!program.empty()) options.program = program;
  if (!parse_options(args, options, err)) return 2;
  if (options.help) {
    out << UsageFor(options.program);
    return 0;
  }
  if (options.version) {
    out << "velmora-report " << VELMORA_VERSION << '\n';
    return 0;
  }
  try {
    return options.follow ? follow(options, out, err, out_is_console) : report(options, out, err);
  } catch (const InputError& error) {
    err << "velmora-report: " << error.what() << '\n';
  } catch (const std::exception& error) {
    err << "velmora-report: " << error.what() << '\n';
  }
  return 1;
}

}  // namespace report
