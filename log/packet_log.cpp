#include "log/packet_log.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "log/file_lock.h"
#include "log/recording.h"

namespace packetlog {

std::ofstream log_stream;

namespace {
constexpr const char kRecordFormat[] =
    "Mouse: num %d, usFlags=%04x ulButtons=%04x usButtonFlags=%04x usButtonData=%04x "
    "ulRawButtons=%04x lLastX=%04x lLastY=%04x ulExtraInformation=%04x\r\n";
}  // namespace

PacketRecord make_packet_record(std::int32_t table_index, const rawinput::RAWMOUSE& m) {
  // %x takes unsigned int: widen each field explicitly, negative motions as their 32 bits.
  const auto print = [&](char* out, std::size_t room) {
    return std::snprintf(out, room, kRecordFormat, static_cast<int>(table_index),
                         static_cast<unsigned>(m.usFlags), static_cast<unsigned>(m.ulButtons),
                         static_cast<unsigned>(rawinput::ButtonFlags(m)),
                         static_cast<unsigned>(rawinput::ButtonData(m)), static_cast<unsigned>(m.ulRawButtons),
                         static_cast<unsigned>(static_cast<std::uint32_t>(m.lLastX)),
                         static_cast<unsigned>(static_cast<std::uint32_t>(m.lLastY)),
                         static_cast<unsigned>(m.ulExtraInformation));
  };
  const int length = print(nullptr, 0);
  if (length <= 0) return PacketRecord();
  PacketRecord record(static_cast<std::size_t>(length), '\0');
  // std::string keeps room for the terminating zero past size().
  print(record.data(), record.size() + 1);
  return record;
}

// ---- telling the user that records are not being kept ----
// One line on stderr for each cause, never one per packet; the program runs on.
namespace {
bool write_failure_told = false;
std::string refusal;

std::string ThisFolder() {
  std::error_code error;
  const std::filesystem::path here = std::filesystem::current_path(error);
  if (error) return "this folder";
  const std::u8string text = here.u8string();
  return std::string(text.begin(), text.end());
}

void TellCannotWrite(const std::string& reason) {
  std::fprintf(stderr, "velmora: cannot write log.txt in %s: %s\n", ThisFolder().c_str(), reason.c_str());
  std::fflush(stderr);
}

// The words for the title, from what the lock met.
std::string RefusalOf(const LockResult& lock, const char* name) {
  if (lock.kind == LockResult::kHeldByAnother) return "another copy is logging here";
  if (lock.kind != LockResult::kDenied) return "cannot write " + std::string(name) + ": " + lock.reason;
  std::error_code error;
  return std::filesystem::exists(name, error) ? std::string(name) + " is read-only" : "this folder is read-only";
}

void TellLockRefused(const LockResult& lock) {
  if (lock.kind != LockResult::kHeldByAnother) return TellCannotWrite(lock.reason);
  std::fprintf(stderr, "velmora: another copy of Velmora is using log.txt in %s; this copy keeps no log\n",
               ThisFolder().c_str());
  std::fflush(stderr);
}

// errno still holds the failed write's reason when called right after it.
void TellWriteFailedOnce() {
  if (write_failure_told) return;
  write_failure_told = true;
  TellCannotWrite(std::strerror(errno));
}
}  // namespace

void log_open() {
  constexpr const char* kName = "log.txt";
  // A log still open ends here as at its run's end: opening an open stream
  // fails, and its close would then report that as a write that failed.
  log_close();
  write_failure_told = false;
  refusal.clear();
  // Another copy of the program logs in this folder: truncating would cut its
  // log under it, so this copy runs as with a log that cannot be opened.
  const LockResult lock = lock_log_file(kName);
  if (lock.kind != LockResult::kLocked) {
    TellLockRefused(lock);
    refusal = RefusalOf(lock, kName);
    log_stream.setstate(std::ios::failbit);
    return;
  }
  log_stream.open(kName, std::ios::out | std::ios::trunc);
  if (!log_stream.is_open()) {
    const std::string reason = std::strerror(errno);
    TellCannotWrite(reason);
    refusal = "cannot write " + std::string(kName) + ": " + reason;
    return;
  }
  recording_open();
}

const std::string& log_refusal() { return refusal; }

void log_write(const PacketRecord& record) {
  log_stream << record.c_str();
  // A record after log_close is dropped, as a closed log drops it, unsaid.
  if (log_stream.bad() && log_stream.is_open()) TellWriteFailedOnce();
}

void log_flush() {
  if (!log_stream.is_open()) return;
  log_stream.flush();
  if (log_stream.bad()) TellWriteFailedOnce();
  recording_flush();
}

void log_close() {
  const bool was_open = log_stream.is_open();
  // Only the close's own failure is news here: a failed write was told when it failed.
  log_stream.clear();
  log_stream.close();  // sets failbit when the last records cannot be written
  if (was_open && log_stream.fail()) TellWriteFailedOnce();
  recording_close();
  unlock_log_file();
}

}  // namespace packetlog
