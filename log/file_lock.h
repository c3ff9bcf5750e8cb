// One log per folder: a second copy of the program started in the same folder
// must not truncate the log that the first one is writing.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace packetlog {

// The lock is one byte at this offset, far beyond any byte of the log. Linux
// copies take it as an fcntl record lock; Wine turns a Windows copy's
// LockFileEx into the same kind of lock, held by its wineserver, as long as
// the byte lies below 2^63 (Linux's largest lockable offset; Wine keeps locks
// above it inside one wineserver, where no Linux copy nor any other Wine
// prefix sees them). So Linux copies, Windows copies and copies under
// different Wine prefixes all keep each other out.
constexpr std::uint64_t kLockOffset = 0x7FFFFFFF00000000ULL;

// What became of an attempt to lock the log.
struct LockResult {
  // kDenied: the file cannot be created or opened for writing (a read-only
  // folder or file); kFailed: any other failure.
  enum Kind { kLocked, kHeldByAnother, kDenied, kFailed } kind;
  std::string reason;  // kDenied, kFailed: why the file could not be opened or locked
};

// Takes this process's exclusive lock on the named file, creating it if missing
// and never truncating it. A lock this process already held is released first,
// so only one file is locked at a time.
LockResult lock_log_file(const char* name);
// Releases the lock, if held.
void unlock_log_file();

// Whether a copy of the program holds the lock on the named file now, asked by
// a reader that must never keep a starting copy out. kNoFile: the file is not
// there, so no copy logs to it.
enum class LockHolder { kHeld, kFree, kNoFile, kUnknown };
LockHolder probe_log_lock(const std::filesystem::path& name);

}  // namespace packetlog
