#include "log/file_lock.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace packetlog {

namespace {
// The lock belongs to this open file description (an OFD lock where the kernel
// has them), not to the log stream's own, so it lasts until this descriptor
// closes; a classic record lock would go whenever any descriptor of the file
// in this process closes.
int held = -1;

#ifdef F_OFD_SETLK
constexpr int kSetLock = F_OFD_SETLK;
#else
constexpr int kSetLock = F_SETLK;
#endif
#ifdef F_OFD_GETLK
constexpr int kGetLock = F_OFD_GETLK;
#else
constexpr int kGetLock = F_GETLK;
#endif
}  // namespace

LockResult lock_log_file(const char* name) {
  unlock_log_file();
  const int fd = open(name, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) {
    const int error = errno;
    const bool denied = error == EACCES || error == EPERM || error == EROFS;
    return {denied ? LockResult::kDenied : LockResult::kFailed, std::strerror(error)};
  }
  struct flock range = {};
  range.l_type = F_WRLCK;
  range.l_whence = SEEK_SET;
  range.l_start = static_cast<off_t>(kLockOffset);
  range.l_len = 1;
  if (fcntl(fd, kSetLock, &range) != 0) {
    const int error = errno;
    close(fd);
    if (error == EAGAIN || error == EACCES) return {LockResult::kHeldByAnother, {}};
    return {LockResult::kFailed, std::strerror(error)};
  }
  held = fd;
  return {LockResult::kLocked, {}};
}

void unlock_log_file() {
  if (held < 0) return;
  close(held);  // releases the lock
  held = -1;
}

LockHolder probe_log_lock(const std::filesystem::path& name) {
  // Read-only: a reader must not create the file, and asking takes no lock.
  const int fd = open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? LockHolder::kNoFile : LockHolder::kUnknown;
  struct flock range = {};
  range.l_type = F_WRLCK;
  range.l_whence = SEEK_SET;
  range.l_start = static_cast<off_t>(kLockOffset);
  range.l_len = 1;
  const bool asked = fcntl(fd, kGetLock, &range) == 0;
  close(fd);
  if (!asked) return LockHolder::kUnknown;
  return range.l_type == F_UNLCK ? LockHolder::kFree : LockHolder::kHeld;
}

}  // namespace packetlog
