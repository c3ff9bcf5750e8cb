// Writes a synthetic recording (devices.csv and log.csv) of ROWS rows from four
// mice, for the report's benchmark and its page check:
//   velmora_make_recording FOLDER ROWS
// index 1: 1000 Hz on a 1 us clock, resting 300 ms every 3 s; index 2: 8000 Hz
// with jitter and a 2 ms hitch now and then; index 3: 500 Hz on a 1 ms clock;
// one mouse outside the table at 125 Hz. Clicks, wheel turns and a few drop rows.
// Names hold commas, quotes and markup, as devices may.
//   velmora_make_recording --live FOLDER ROWS_PER_SECOND SECONDS [--cut]
// writes as a recorder does, under the folder's lock: one mouse's rows, paced,
// stamped with the steady clock's microseconds when each is due, and written
// out at least every 100 ms; with --cut, half of one row midway, its rest a
// second later. For velmora-report --follow's benchmark and checks.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "log/file_lock.h"
#include "log/recording_format.h"

// The rows below are written out for these columns.
static_assert(recording::kLogColumnCount == 11 && recording::kDeviceColumnCount == 7);

namespace {

struct Mouse {
  int handle;
  int index;
  const char* name;  // as written: quoted, "" for a quote
  const char* vendor;
  const char* product;
  int clock_us;
  std::int64_t period_us;
  std::int64_t next_us;
  std::uint64_t packets = 0;
};

std::uint32_t random_state = 12345;
std::uint32_t next_random() {
  random_state = random_state * 1664525u + 1013904223u;
  return random_state >> 8;
}

// The time of the mouse's next packet after the one at `now`.
std::int64_t step(Mouse& m, std::int64_t now) {
  std::int64_t next = now + m.period_us;
  if (m.index == 1 && m.packets % 3000 == 0) next += 300000;
  if (m.index == 2) {
    next += static_cast<std::int64_t>(next_random() % 21) - 10;
    if (m.packets % 40000 == 39999) next += 2000;
  }
  return next;
}

int write_live(const std::string& folder, double rows_per_second, double seconds, bool cut) {
  using Clock = std::chrono::steady_clock;
  const packetlog::LockResult lock = packetlog::lock_log_file((folder + "/log.txt").c_str());
  if (lock.kind != packetlog::LockResult::kLocked) {
    std::fprintf(stderr, "velmora_make_recording: cannot lock %s/log.txt %s\n", folder.c_str(), lock.reason.c_str());
    return 1;
  }
  std::ofstream log(folder + "/log.csv", std::ios::binary | std::ios::trunc);
  std::ofstream devices(folder + "/devices.csv", std::ios::binary | std::ios::trunc);
  log << recording::kLogHeaderLine;
  devices << recording::kDevicesHeaderLine << "3392,1,Mouse,\"Paced mouse\",046d,c077,1\n";
  devices.flush();
  const auto us = [](Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count();
  };
  const Clock::time_point start = Clock::now();
  const auto total = static_cast<std::uint64_t>(rows_per_second * seconds);
  const double period_us = 1e6 / rows_per_second;
  Clock::time_point flushed = start;
  for (std::uint64_t row = 0; row < total;) {
    const Clock::time_point now = Clock::now();
    const double elapsed_us = static_cast<double>(us(now) - us(start));
    for (; row < total && static_cast<double>(row) * period_us <= elapsed_us; ++row) {
      const long long due = us(start) + static_cast<long long>(static_cast<double>(row) * period_us);
      char text[96];
      const int n = std::snprintf(text, sizeof text, "%lld,3392,1,0,0,0,0,0,%d,%d,0\n", due, 1, -1);
      if (cut && row == total / 2) {
        log.write(text, n / 2).flush();
        std::this_thread::sleep_for(std::chrono::seconds(1));
        log.write(text + n / 2, n - n / 2);
        continue;
      }
      log.write(text, n);
    }
    if (now - flushed >= std::chrono::milliseconds(100)) {
      log.flush();
      flushed = now;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  log.close();
  devices.close();
  packetlog::unlock_log_file();
  if (!log) {
    std::fprintf(stderr, "velmora_make_recording: cannot write %s/log.csv\n", folder.c_str());
    return 1;
  }
  std::printf("%llu rows\n", static_cast<unsigned long long>(total));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if ((argc == 5 || argc == 6) && std::strcmp(argv[1], "--live") == 0) {
    return write_live(argv[2], std::atof(argv[3]), std::atof(argv[4]), argc == 6 && std::strcmp(argv[5], "--cut") == 0);
  }
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s FOLDER ROWS | --live FOLDER ROWS_PER_SECOND SECONDS [--cut]\n", argv[0]);
    return 2;
  }
  const std::string folder = argv[1];
  const std::uint64_t rows = std::strtoull(argv[2], nullptr, 10);
  std::vector<Mouse> mice = {
      {3392, 1, "\"Alpha, Inc. \"\"Pro\"\" Mouse\"", "046d", "c077", 1, 1000, 1000},
      {3393, 2, "\"Beta 8K <b>mouse</b> & co\"", "1532", "00b2", 1, 125, 1100},
      {14, 3, "\"Gamma's XI2 mouse, one ms\"", "", "", 1000, 2000, 2000},
      {15, -1, "\"Late \"\"plugged\"\" mouse\"", "abcd", "0001", 1, 8000, 500000},
  };

  std::FILE* devices = std::fopen((folder + "/devices.csv").c_str(), "wb");
  std::FILE* log = std::fopen((folder + "/log.csv").c_str(), "wb");
  if (!devices || !log) {
    std::fprintf(stderr, "%s: cannot write in %s\n", argv[0], folder.c_str());
    return 1;
  }
  std::fwrite(recording::kDevicesHeaderLine.data(), 1, recording::kDevicesHeaderLine.size(), devices);
  std::fprintf(devices, "%d,0,Keyboard,\"AT keyboard\",,,1\n", 7);
  for (const Mouse& m : mice) {
    std::fprintf(devices, "%d,%d,Mouse,%s,%s,%s,%d\n", m.handle, m.index, m.name, m.vendor, m.product, m.clock_us);
  }
  std::fclose(devices);

  std::vector<char> buffer(1 << 20);
  std::setvbuf(log, buffer.data(), _IOFBF, buffer.size());
  std::fwrite(recording::kLogHeaderLine.data(), 1, recording::kLogHeaderLine.size(), log);
  for (std::uint64_t row = 0; row < rows; ++row) {
    Mouse* m = &mice[0];
    for (Mouse& other : mice) {
      if (other.next_us < m->next_us) m = &other;
    }
    const std::int64_t time = m->next_us / m->clock_us * m->clock_us;
    const std::uint64_t n = m->packets++;
    if (n % 100000 == 99999) {
      // A drop row: the first three columns, the rest empty.
      std::fprintf(log, "%lld,%d,%d,,,,,,,,\n", static_cast<long long>(time), m->handle, m->index);
    } else {
      // Each mouse draws a square of its own size, one side every 500 packets.
      const int side = static_cast<int>((n / 500) % 4);
      const int dx = side == 0 ? m->index + 2 : side == 2 ? -(m->index + 2) : 0;
      const int dy = side == 1 ? m->index + 2 : side == 3 ? -(m->index + 2) : 0;
      unsigned flags = 0;
      int data = 0;
      if (n % 1000 == 10) flags = recording::RI_MOUSE_LEFT_BUTTON_DOWN;
      if (n % 1000 == 20) flags = recording::RI_MOUSE_LEFT_BUTTON_UP;
      if (n % 700 == 5) {
        flags = recording::RI_MOUSE_WHEEL;
        data = (n % 1400 == 5) ? recording::WHEEL_DELTA : -recording::WHEEL_DELTA;
      }
      std::fprintf(log, "%lld,%d,%d,0,0,%u,%d,0,%d,%d,0\n", static_cast<long long>(time), m->handle, m->index, flags,
                   data, dx, dy);
    }
    m->next_us = step(*m, m->next_us);
  }
  if (std::fclose(log) != 0) {
    std::fprintf(stderr, "%s: cannot write %s/log.csv\n", argv[0], folder.c_str());
    return 1;
  }
  return 0;
}
