#include "log/file_lock.h"

#include <windows.h>

namespace packetlog {

namespace {
HANDLE held = INVALID_HANDLE_VALUE;

// Windows byte-range locks are mandatory: the locked byte lies far beyond any
// byte the log stream writes, so the stream (another handle) is never refused.
OVERLAPPED LockedRange() {
  OVERLAPPED at = {};
  at.Offset = static_cast<DWORD>(kLockOffset & 0xFFFFFFFFu);
  at.OffsetHigh = static_cast<DWORD>(kLockOffset >> 32);
  return at;
}

// The system's own words for an error code, without the closing ".\r\n".
std::string Describe(DWORD error) {
  char text[256] = {};
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text,
                           sizeof text, nullptr);
  while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == '.' || text[n - 1] == ' ')) --n;
  if (n == 0) return "error " + std::to_string(error);
  return std::string(text, n);
}
}  // namespace

LockResult lock_log_file(const char* name) {
  unlock_log_file();
  // Full sharing, so that the log stream can still open, truncate and write it;
  // OPEN_ALWAYS creates a missing file without truncating an existing one.
  const HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    const bool denied = error == ERROR_ACCESS_DENIED || error == ERROR_WRITE_PROTECT;
    return {denied ? LockResult::kDenied : LockResult::kFailed, Describe(error)};
  }
  OVERLAPPED at = LockedRange();
  if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
    const DWORD error = GetLastError();
    CloseHandle(h);
    if (error == ERROR_LOCK_VIOLATION) return {LockResult::kHeldByAnother, {}};
    return {LockResult::kFailed, Describe(error)};
  }
  held = h;
  return {LockResult::kLocked, {}};
}

void unlock_log_file() {
  if (held == INVALID_HANDLE_VALUE) return;
  OVERLAPPED at = LockedRange();
  UnlockFileEx(held, 0, 1, 0, &at);
  CloseHandle(held);
  held = INVALID_HANDLE_VALUE;
}

LockHolder probe_log_lock(const std::filesystem::path& name) {
  const HANDLE h = CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? LockHolder::kNoFile
                                                                          : LockHolder::kUnknown;
  }
  // Windows cannot ask about a lock without taking it: a shared lock, let go at
  // once, is the shortest hold (a copy starting in that instant is told that
  // another copy logs here).
  OVERLAPPED at = LockedRange();
  LockHolder holder = LockHolder::kUnknown;
  if (LockFileEx(h, LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
    UnlockFileEx(h, 0, 1, 0, &at);
    holder = LockHolder::kFree;
  } else if (GetLastError() == ERROR_LOCK_VIOLATION) {
    holder = LockHolder::kHeld;
  }
  CloseHandle(h);
  return holder;
}

}  // namespace packetlog
