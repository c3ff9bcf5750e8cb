// One log per folder: a second copy of the program started in the same folder
// must not truncate the log that the first one is writing.
#pragma once

namespace packetlog {

// Takes this process's exclusive lock on the named file, creating it if missing
// and never truncating it; true when held. A lock this process already held is
// released first, so only one file is locked at a time.
bool lock_log_file(const char* name);
// Releases the lock, if held.
void unlock_log_file();

}  // namespace packetlog
