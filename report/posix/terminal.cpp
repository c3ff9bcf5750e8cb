#include "report/terminal.h"

#include <langinfo.h>
#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <cstring>

namespace report {

Terminal open_terminal() {
  Terminal t;
  const char* term = std::getenv("TERM");
  t.in_place = isatty(STDOUT_FILENO) && !(term && std::strcmp(term, "dumb") == 0);
  // The user's locale says whether the terminal takes UTF-8; only the
  // character type is set, so numbers keep their "." everywhere.
  if (std::setlocale(LC_CTYPE, "")) {
    const char* codeset = nl_langinfo(CODESET);
    t.utf8 = codeset && std::strcmp(codeset, "UTF-8") == 0;
    std::setlocale(LC_CTYPE, "C");
  }
  return t;
}

void restore_terminal() {}

namespace {
FileId id_of(const struct stat& s) {
  return {static_cast<std::uint64_t>(s.st_dev), static_cast<std::uint64_t>(s.st_ino)};
}
}  // namespace

std::optional<FileId> file_id(const std::filesystem::path& path) {
  struct stat s;
  if (stat(path.c_str(), &s) != 0) return std::nullopt;
  return id_of(s);
}

std::optional<FileId> file_id(std::FILE* file) {
  struct stat s;
  if (fstat(fileno(file), &s) != 0) return std::nullopt;
  return id_of(s);
}

std::FILE* open_shared(const std::filesystem::path& path) { return std::fopen(path.c_str(), "rb"); }

}  // namespace report
