#include "log/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace packetlog {

namespace {
// The lock belongs to this open file description, not to the log stream's own,
// so it lasts until this descriptor closes.
int held = -1;
}  // namespace

bool lock_log_file(const char* name) {
  unlock_log_file();
  const int fd = open(name, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return false;
  }
  held = fd;
  return true;
}

void unlock_log_file() {
  if (held < 0) return;
  close(held);  // releases the lock
  held = -1;
}

}  // namespace packetlog
