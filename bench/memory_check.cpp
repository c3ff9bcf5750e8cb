// Hours of packets must run in bounded memory: the memo keeps only its newest
// lines and the packet buffer stops growing at the largest packet. Measured as
// resident memory, so it is built only without sanitizers (their quarantine
// holds freed blocks on purpose).
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "bench/packet_rig.h"

namespace {

// VmRSS of this process in KiB, or -1 when /proc does not say.
long ResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

TEST(BoundedMemory, AMillionPacketsGrowResidentMemoryByLessThan5MB) {
  constexpr long kPackets = 1000000;
  constexpr long kLimitKiB = 5 * 1024;
  bench::PacketRig rig;

  // Four packet sizes from four mice, so that the buffer grows in steps and
  // then is reused, and both tracked and untracked senders are in the mix.
  const std::size_t sizes[] = {sizeof(rawinput::RAWINPUT), 64, 1024, 4096};
  for (std::uintptr_t i = 0; i < 4; ++i) rig.Script(0x100 + i, bench::kMouseHandles[i], 0, 0, sizes[i]);

  const long before = ResidentKiB();
  ASSERT_GT(before, 0) << "no VmRSS in /proc/self/status";
  for (long n = 0; n < kPackets; ++n) {
    const std::uintptr_t packet = 0x100 + static_cast<std::uintptr_t>(n & 3);
    const std::int32_t d = (n & 4) ? -7 : 7;
    rig.SetMotion(packet, d, -d);
    bench::PacketRig::Send(packet);
  }
  const long after = ResidentKiB();

  // The packets really went the whole way: fetched, logged and drawn.
  EXPECT_EQ(fake::service().fetches, kPackets);
  EXPECT_EQ(rawinput::raw_input_state.capacity, 4096u);
  ASSERT_FALSE(Form1->Memo1->Lines().empty());
  EXPECT_EQ(Form1->Memo1->Lines().back().rfind("Mouse: num 3, ", 0), 0u);
  packetlog::log_stream.flush();
  EXPECT_GT(std::filesystem::file_size(rig.Dir() / "log.txt"), static_cast<std::uintmax_t>(kPackets) * 100);

  std::printf("resident memory grew by %ld KiB over %ld packets (limit %ld KiB)\n", after - before, kPackets,
              kLimitKiB);
  EXPECT_LT(after - before, kLimitKiB) << "resident memory went from " << before << " KiB to " << after
                                       << " KiB over " << kPackets << " packets";
}

}  // namespace
