// Packets per second through the Windows program's own path: its window, panel,
// labels and GDI drawing, driven through the real message loop by the scripted
// raw-input service, with the panel full. Two floors from the same run: the bare
// cost of posting and dispatching a message 255 that nothing handles, and
// writing the record to the log and its row to log.csv. Each figure is a batch of
// posted messages timed from the first post to the last dispatch; batches of the
// four kinds are interleaved at random, and the median batch of each is shown.
// Exits non-zero when the whole path costs more than kGoalVsBareLoop times the
// bare loop. With --osc HOST:PORT the program streams each packet there, and two
// more kinds time the whole path and the bare send with the stream on.
#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "app/principal.h"
#include "log/osc_stream.h"
#include "log/packet_log.h"
#include "log/recording.h"
#include "rawinput/rawinput.h"
#include "tests/support/fake_service.h"

// After the program's headers: from here on WM_INPUT and RIM_TYPEMOUSE are the
// system's macros, with the same values.
#include <windows.h>

namespace {

constexpr int kBatch = 1000;
constexpr int kRepetitions = 5;
constexpr double kGoalVsBareLoop = 1.25;
constexpr UINT kNextBatch = WM_APP + 1;
constexpr UINT kBatchDone = WM_APP + 2;

// Mice at table indices 0 and 1; each kind of packet comes in two motions that
// undo each other, so that a track swings instead of settling on a border.
constexpr std::uintptr_t kMice[] = {0x11, 0x12};
constexpr std::uintptr_t kNoTrackPackets[] = {0x5000, 0x5001};
constexpr std::uintptr_t kTrackPackets[] = {0x6000, 0x6001};

enum Kind { kRecordFloor, kBareLoop, kTrack, kNoTrack, kStreamTrack, kStreamOnly, kKinds };
const char* const kNames[kKinds] = {
    "floor: the record to the log, its row to log.csv",
    "floor: bare loop, post and dispatch message 255",
    "whole path, packet that moves a track",
    "whole path, packet from a mouse without a track",
    "whole path with the OSC stream, moves a track",
    "the OSC message alone: encode and send",
};
constexpr int kPlainKinds = kStreamTrack;

double Now() {
  static const double ticks_per_second = [] {
    LARGE_INTEGER f;
    ::QueryPerformanceFrequency(&f);
    return static_cast<double>(f.QuadPart);
  }();
  LARGE_INTEGER t;
  ::QueryPerformanceCounter(&t);
  return static_cast<double>(t.QuadPart) / ticks_per_second;
}

void Script(std::uintptr_t packet, std::uintptr_t mouse, std::int32_t dx, std::int32_t dy) {
  rawinput::RAWMOUSE m{};
  m.lLastX = dx;
  m.lLastY = dy;
  fake::service().packets[packet] = fake::mouse_packet(fake::handle(mouse), m);
}

LRESULT CALLBACK BareProc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  if (msg == WM_INPUT) return 0;
  return ::DefWindowProcA(hwnd, msg, wparam, lparam);
}

HWND MakeBareWindow() {
  WNDCLASSA wc = {};
  wc.lpfnWndProc = BareProc;
  wc.hInstance = ::GetModuleHandleA(nullptr);
  wc.lpszClassName = "VelmoraBenchBare";
  ::RegisterClassA(&wc);
  return ::CreateWindowA(wc.lpszClassName, "", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr, wc.hInstance, nullptr);
}

// The program's form, plus the driver: each batch is posted from inside the
// program's own message loop, and the next one starts when the last has been
// dispatched.
class BenchForm : public TForm1 {
 public:
  void Dispatch(tk::TMessage& m) override {
    if (m.Msg == kNextBatch) return StartNext();
    if (m.Msg == kBatchDone) return FinishBatch();
    const double start = Now();
    TForm1::Dispatch(m);
    if (m.Msg == WM_INPUT && next_ > 1) {
      own_seconds[kind_] += Now() - start;
      ++own_packets[kind_];
    }
  }

  void Plan(const std::string& stream_to) {
    stream_to_ = stream_to;
    std::mt19937 shuffle(12345);
    // The first batch fills the panel and is not counted.
    plan_.push_back(kNoTrack);
    for (int r = 0; r < kRepetitions; ++r) {
      std::vector<Kind> round = {kRecordFloor, kBareLoop, kTrack, kNoTrack};
      if (!stream_to.empty()) round.insert(round.end(), {kStreamTrack, kStreamOnly});
      std::shuffle(round.begin(), round.end(), shuffle);
      plan_.insert(plan_.end(), round.begin(), round.end());
    }
    bare_ = MakeBareWindow();
  }

  std::array<std::vector<double>, kKinds> seconds_per_packet;
  // The program's own work: time spent inside its dispatch of each packet.
  double own_seconds[kKinds] = {};
  int own_packets[kKinds] = {};

 private:
  HWND Hwnd() const { return static_cast<HWND>(peer); }

  void StartNext() {
    if (next_ == plan_.size()) {
      ::PostMessageA(Hwnd(), WM_CLOSE, 0, 0);
      return;
    }
    kind_ = plan_[next_++];
    // Only the stream's own kinds stream.
    if (kind_ == kStreamTrack || kind_ == kStreamOnly) {
      osc::stream_open(stream_to_);
    }
    started_ = Now();
    switch (kind_) {
      case kRecordFloor: RecordFloor(); break;
      case kBareLoop: BareLoop(); break;
      case kTrack: PostPackets(kTrackPackets); break;
      case kNoTrack: PostPackets(kNoTrackPackets); break;
      case kStreamTrack: PostPackets(kTrackPackets); break;
      case kStreamOnly: StreamOnly(); break;
      case kKinds: break;
    }
  }

  void FinishBatch() {
    const double elapsed = Now() - started_;
    osc::stream_close();
    if (next_ > 1) seconds_per_packet[kind_].push_back(elapsed / kBatch);
    ::PostMessageA(Hwnd(), kNextBatch, 0, 0);
  }

  void PostPackets(const std::uintptr_t (&packets)[2]) {
    for (int i = 0; i < kBatch; ++i) ::PostMessageA(Hwnd(), WM_INPUT, 0, static_cast<LPARAM>(packets[i & 1]));
    ::PostMessageA(Hwnd(), kBatchDone, 0, 0);
  }

  void RecordFloor() {
    rawinput::RAWMOUSE mouse{};
    for (int i = 0; i < kBatch; ++i) {
      mouse.lLastX = (i & 1) ? -3 : 3;
      mouse.lLastY = (i & 1) ? 2 : -2;
      packetlog::log_write(packetlog::make_packet_record(1, mouse));
      packetlog::recording_write_packet(i, fake::handle(kMice[1]), 1, mouse);
    }
    FinishBatch();
  }

  void StreamOnly() {
    rawinput::RAWMOUSE mouse{};
    for (int i = 0; i < kBatch; ++i) {
      mouse.lLastX = (i & 1) ? -3 : 3;
      osc::stream_packet(i, fake::handle(kMice[1]), 1, mouse);
    }
    FinishBatch();
  }

  // A loop of its own over the bare window's messages, nested in the program's.
  void BareLoop() {
    for (int i = 0; i < kBatch; ++i) ::PostMessageA(bare_, WM_INPUT, 0, static_cast<LPARAM>(kTrackPackets[i & 1]));
    ::PostMessageA(bare_, kBatchDone, 0, 0);
    MSG msg;
    while (::GetMessageA(&msg, bare_, 0, 0) > 0) {
      ::DispatchMessageA(&msg);
      if (msg.message == kBatchDone) break;
    }
    FinishBatch();
  }

  std::vector<Kind> plan_;
  std::string stream_to_;
  std::size_t next_ = 0;
  Kind kind_ = kNoTrack;
  double started_ = 0;
  HWND bare_ = nullptr;
};

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const std::string stream_to = argc == 3 && std::string(argv[1]) == "--osc" ? argv[2] : "";
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("velmora-bench-" + std::to_string(::GetCurrentProcessId()));
  std::filesystem::create_directories(dir);
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(dir);

  fake::service().devices = {{fake::handle(kMice[0]), RIM_TYPEMOUSE},
                             {fake::handle(kMice[1]), RIM_TYPEMOUSE}};
  Script(kNoTrackPackets[0], kMice[0], 3, -2);
  Script(kNoTrackPackets[1], kMice[0], -3, 2);
  Script(kTrackPackets[0], kMice[1], 3, -2);
  Script(kTrackPackets[1], kMice[1], -3, 2);

  tk::Application->Initialize();
  BenchForm* form = nullptr;
  tk::Application->CreateForm(form);
  Form1 = form;
  if (rawinput::raw_input_state.count != 2 || !packetlog::log_stream.is_open()) {
    std::printf("the program did not start as scripted\n");
    return 2;
  }
  form->Plan(stream_to);
  ::PostMessageA(static_cast<HWND>(form->peer), kNextBatch, 0, 0);
  tk::Application->OnIdle = packetlog::log_flush;  // as the program runs
  tk::Application->Run();

  const std::size_t lines = Form1->Memo1->Lines().size();
  double median[kKinds];
  for (int k = 0; k < kKinds; ++k) median[k] = Median(form->seconds_per_packet[k]);
  double own[kKinds] = {};
  for (int k = kTrack; k < kKinds; ++k) own[k] = form->own_packets[k] ? form->own_seconds[k] / form->own_packets[k] : 0;
  tk::Application->Reset();
  std::filesystem::current_path(previous);
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);

  std::printf("Windows packet path, batches of %d posted messages, median of %d, panel holding %zu lines\n\n", kBatch,
              kRepetitions, lines);
  std::printf("%-52s %12s %10s %10s %10s\n", "", "packets/s", "us/packet", "vs bare", "vs record");
  const int kinds = stream_to.empty() ? kPlainKinds : kKinds;
  for (int k = 0; k < kinds; ++k) {
    std::printf("%-52s %12.0f %10.2f %10.2f %10.2f\n", kNames[k], 1.0 / median[k], median[k] * 1e6,
                median[k] / median[kBareLoop], median[k] / median[kRecordFloor]);
  }
  std::printf("\nthe program's own work per packet (inside its dispatch): %.2f us with a track, %.2f us without\n",
              own[kTrack] * 1e6, own[kNoTrack] * 1e6);
  double worst = std::max(median[kTrack], median[kNoTrack]) / median[kBareLoop];
  if (!stream_to.empty()) {
    std::printf("with the OSC stream to %s: %.2f us of own work per packet, the send %.2f us of it\n",
                stream_to.c_str(), own[kStreamTrack] * 1e6, median[kStreamOnly] * 1e6);
    worst = std::max(worst, median[kStreamTrack] / median[kBareLoop]);
  }
  const bool met = worst <= kGoalVsBareLoop;
  std::printf("\ngoal: whole path at most %.2fx the bare loop: %s (%.2fx)\n", kGoalVsBareLoop, met ? "met" : "MISSED",
              worst);
  return met ? 0 : 1;
}
