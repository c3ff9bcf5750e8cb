#include "report/terminal.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace report {

namespace {
// What open_terminal changed, for restore_terminal.
DWORD saved_mode = 0;
UINT saved_code_page = 0;
bool changed = false;

std::optional<FileId> id_of(HANDLE h) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(h, &info)) return std::nullopt;
  return FileId{info.dwVolumeSerialNumber,
                (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}
}  // namespace

Terminal open_terminal() {
  Terminal t;
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (out == INVALID_HANDLE_VALUE || !GetConsoleMode(out, &mode)) return t;  // not a console
  // Consoles before Windows 10 refuse virtual-terminal sequences: then the view
  // prints a fresh table each second.
  if (!SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) return t;
  saved_mode = mode;
  saved_code_page = GetConsoleOutputCP();
  changed = true;
  t.in_place = true;
  t.utf8 = saved_code_page == CP_UTF8 || SetConsoleOutputCP(CP_UTF8);
  return t;
}

void restore_terminal() {
  if (!changed) return;
  SetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), saved_mode);
  SetConsoleOutputCP(saved_code_page);
  changed = false;
}

std::optional<FileId> file_id(const std::filesystem::path& path) {
  const HANDLE h = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return std::nullopt;
  const std::optional<FileId> id = id_of(h);
  CloseHandle(h);
  return id;
}

std::optional<FileId> file_id(std::FILE* file) {
  return id_of(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file))));
}

std::FILE* open_shared(const std::filesystem::path& path) {
  // The C library's own open would keep the recording from being deleted.
  const HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    errno = GetLastError() == ERROR_FILE_NOT_FOUND ? ENOENT : EACCES;
    return nullptr;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDONLY | _O_BINARY);
  if (fd < 0) {
    CloseHandle(h);
    return nullptr;
  }
  std::FILE* file = _fdopen(fd, "rb");
  if (!file) _close(fd);
  return file;
}

}  // namespace report
