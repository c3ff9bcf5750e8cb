#include "log/file_lock.h"

#include <windows.h>

namespace packetlog {

namespace {
HANDLE held = INVALID_HANDLE_VALUE;

// Windows byte-range locks are mandatory: the locked byte lies far beyond any
// byte the log stream writes, so the stream (another handle) is never refused.
constexpr DWORD kLockOffsetLow = 0x00000000;
constexpr DWORD kLockOffsetHigh = 0xFFFFFFFF;
}  // namespace

bool lock_log_file(const char* name) {
  unlock_log_file();
  // Full sharing, so that the log stream can still open, truncate and write it;
  // OPEN_ALWAYS creates a missing file without truncating an existing one.
  const HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  OVERLAPPED at = {};
  at.Offset = kLockOffsetLow;
  at.OffsetHigh = kLockOffsetHigh;
  if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
    CloseHandle(h);
    return false;
  }
  held = h;
  return true;
}

void unlock_log_file() {
  if (held == INVALID_HANDLE_VALUE) return;
  OVERLAPPED at = {};
  at.Offset = kLockOffsetLow;
  at.OffsetHigh = kLockOffsetHigh;
  UnlockFileEx(held, 0, 1, 0, &at);
  CloseHandle(held);
  held = INVALID_HANDLE_VALUE;
}

}  // namespace packetlog
