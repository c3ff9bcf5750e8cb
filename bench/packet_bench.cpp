// Packets per second through the whole packet path (message 255 to log file,
// recording, memo and track drawing) against the floor of formatting the record
// and writing it to the log and its row to log.csv. Prints the ratio of the two at the end and exits
// non-zero when the path costs more than twice the floor, both measured in the
// same run (scripts/bench sets the Linux program's paths against this path too).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <iostream>
#include <string>
#include <vector>

#include "bench/packet_rig.h"
#include "log/osc_stream.h"

namespace {

constexpr double kTargetRatio = 2.0;
// Often enough that the log file stays a few megabytes, rarely enough that the
// rewind costs well under a nanosecond a packet.
constexpr benchmark::IterationCount kRewindEvery = 1 << 16;
constexpr std::uintptr_t kPacket = 0x5000;

bench::PacketRig* rig = nullptr;

// The tracked path alternates its motion so that the track swings back and
// forth instead of settling against an edge of the client area; every variant
// formats the same two records.
void Motion(benchmark::IterationCount i, std::int32_t& dx, std::int32_t& dy) {
  const bool odd = (i & 1) != 0;
  dx = odd ? -3 : 3;
  dy = odd ? 2 : -2;
}

void BM_Floor_RecordAndLogWrite(benchmark::State& state) {
  rawinput::RAWMOUSE mouse{};
  const rawinput::HANDLE device = fake::handle(bench::kMouseHandles[1]);
  benchmark::IterationCount i = 0;
  for (auto _ : state) {
    Motion(i, mouse.lLastX, mouse.lLastY);
    const packetlog::PacketRecord record = packetlog::make_packet_record(1, mouse);
    packetlog::log_write(record);
    packetlog::recording_write_packet(static_cast<std::int64_t>(i), device, 1, mouse);
    if (++i % kRewindEvery == 0) bench::PacketRig::RewindLog();
  }
  state.SetItemsProcessed(state.iterations());
}

void PacketPath(benchmark::State& state, std::size_t table_index) {
  rig->Script(kPacket, bench::kMouseHandles[table_index], 0, 0);
  tracks::set_start_positions(*Form1);
  benchmark::IterationCount i = 0;
  for (auto _ : state) {
    std::int32_t dx, dy;
    Motion(i, dx, dy);
    rig->SetMotion(kPacket, dx, dy);
    bench::PacketRig::Send(kPacket);
    if (++i % kRewindEvery == 0) bench::PacketRig::RewindLog();
  }
  state.SetItemsProcessed(state.iterations());
  // A path that dropped its packets would look fast: make sure each one was logged.
  if (Form1->Memo1->Lines().empty() || Form1->Memo1->Lines().back().rfind("Mouse: num " + std::to_string(table_index), 0) != 0) {
    state.SkipWithError("the packets did not reach the memo");
  }
}

void BM_PacketPath_MovesTrack(benchmark::State& state) { PacketPath(state, 1); }
void BM_PacketPath_NoTrack(benchmark::State& state) { PacketPath(state, 0); }

// The whole path with the OSC stream on, to a socket on this machine that reads
// nothing: the cost of encoding and sending, without a receiver's own work.
void BM_PacketPath_MovesTrack_Streamed(benchmark::State& state) {
  const int receiver = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof a;
  if (bind(receiver, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      getsockname(receiver, reinterpret_cast<sockaddr*>(&a), &size) != 0 ||
      !osc::stream_open("127.0.0.1:" + std::to_string(ntohs(a.sin_port)))) {
    state.SkipWithError("no socket to stream to");
  } else {
    PacketPath(state, 1);
  }
  osc::stream_close();
  close(receiver);
}

BENCHMARK(BM_Floor_RecordAndLogWrite);
BENCHMARK(BM_PacketPath_MovesTrack);
BENCHMARK(BM_PacketPath_NoTrack);
BENCHMARK(BM_PacketPath_MovesTrack_Streamed);

// The console report, plus the median CPU time per packet of each benchmark
// over its repetitions, for the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  // A display reporter passed in by hand does not get the library's colour
  // detection: colour only on a terminal.
  SummaryReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred || run.iterations == 0) continue;
      const double seconds = run.cpu_accumulated_time / static_cast<double>(run.iterations);
      samples_[run.run_name.function_name].push_back(seconds);
    }
  }

  std::map<std::string, double> SecondsPerPacket() const {
    std::map<std::string, double> medians;
    for (auto [name, samples] : samples_) {
      std::sort(samples.begin(), samples.end());
      const std::size_t n = samples.size();
      medians[name] = n % 2 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
    }
    return medians;
  }

 private:
  std::map<std::string, std::vector<double>> samples_;
};

// Prints the figures; false when a target is missed.
bool Summarize(const std::map<std::string, double>& spp) {
  const auto floor = spp.find("BM_Floor_RecordAndLogWrite");
  if (floor == spp.end()) {
    std::printf("\nfloor not measured: no ratio\n");
    return true;
  }
  bool met = true;
  std::printf("\n%-28s %14s %12s %10s\n", "", "packets/s", "ns/packet", "vs floor");
  std::printf("%-28s %14.0f %12.1f %10s\n", "floor (record + log + csv)", 1.0 / floor->second, floor->second * 1e9,
              "1.00");
  const std::pair<const char*, const char*> paths[] = {{"BM_PacketPath_MovesTrack", "whole path, moves a track"},
                                                       {"BM_PacketPath_NoTrack", "whole path, no track"}};
  if (const auto streamed = spp.find("BM_PacketPath_MovesTrack_Streamed"); streamed != spp.end()) {
    std::printf("%-28s %14.0f %12.1f %10.2f  (a figure, no target)\n", "with the OSC stream on", 1.0 / streamed->second,
                streamed->second * 1e9, streamed->second / floor->second);
  }
  for (const auto& [name, label] : paths) {
    const auto found = spp.find(name);
    if (found == spp.end()) continue;
    const double rate = 1.0 / found->second;
    const double ratio = found->second / floor->second;
    std::printf("%-28s %14.0f %12.1f %10.2f\n", label, rate, found->second * 1e9, ratio);
    if (ratio > kTargetRatio) {
      std::printf("  target missed: %s costs more than %.1f times the floor\n", label, kTargetRatio);
      met = false;
    }
  }
  std::printf("target: whole path <= %.1f x floor: %s\n", kTargetRatio, met ? "met" : "MISSED");
  return met;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
  bool met = true;
  {
    bench::PacketRig the_rig;
    rig = &the_rig;
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::cout.flush();  // the report goes through cout, the summary through stdio
    met = Summarize(reporter.SecondsPerPacket());
    rig = nullptr;
  }
  benchmark::Shutdown();
  return met ? 0 : 1;
}
