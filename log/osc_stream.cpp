#include "log/osc_stream.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "log/osc_message.h"
#include "log/recording_format.h"
#include "log/udp_sender.h"

namespace osc {

namespace {

constexpr auto kDeviceRepeat = std::chrono::seconds(1);

// The packet's type tags follow log.csv's columns: 'h' for the 64-bit time, 'i'
// for the rest, then 'h' for the sequence number.
constexpr std::string_view kPacketTags = "hiiiiiiiiiih";
static_assert(kPacketTags.size() == recording::kLogColumnCount + 1);

struct Stream {
  std::mutex lock;  // the socket, the buffers and the counts; the repeater sends too
  UdpSender socket;
  std::string target;  // as given, for the messages
  bool open = false;
  std::string buffer;
  // Sequence numbers: a handful of devices, the last one used first.
  std::vector<std::pair<rawinput::HANDLE, std::int64_t>> next_seq;
  std::vector<std::string> device_messages;  // one per device, as last sent
  std::uint64_t packets = 0;
  std::uint64_t not_streamed = 0;
  bool told_refused = false;
  bool told_not_sent = false;

  std::thread repeater;
  std::condition_variable wake;
  bool stopping = false;
};

Stream stream;

void Tell(const std::string& line) {
  std::fprintf(stderr, "velmora: %s\n", line.c_str());
  std::fflush(stderr);
}

// One datagram; a failure is said once for each kind. Holds stream.lock.
bool SendLocked(const std::string& message) {
  std::string why;
  switch (stream.socket.Send(message.data(), message.size(), why)) {
    case UdpSender::Sent::kYes: return true;
    case UdpSender::Sent::kRefused:
      if (!std::exchange(stream.told_refused, true)) {
        Tell("nothing receives the stream at " + stream.target + " (" + why + "); recording goes on");
      }
      return false;
    case UdpSender::Sent::kNo:
      if (!std::exchange(stream.told_not_sent, true)) {
        Tell("some packets could not be streamed to " + stream.target + " (" + why +
             "); log.csv still holds every one");
      }
      return false;
  }
  return false;
}

std::int64_t NextSeq(rawinput::HANDLE device) {
  auto& seqs = stream.next_seq;
  for (auto it = seqs.rbegin(); it != seqs.rend(); ++it) {
    if (it->first == device) return it->second++;
  }
  seqs.emplace_back(device, 1);
  return 0;
}

void Repeat() {
  std::unique_lock<std::mutex> held(stream.lock);
  while (!stream.wake.wait_for(held, kDeviceRepeat, [] { return stream.stopping; })) {
    for (const std::string& message : stream.device_messages) SendLocked(message);
  }
}

bool PortNumber(std::string_view port) {
  if (port.empty() || port.size() > 5) return false;
  unsigned value = 0;
  for (const char c : port) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  return value >= 1 && value <= 65535;
}

}  // namespace

bool ParseTarget(std::string_view value, Target& target) {
  const std::size_t colon = value.rfind(':');
  if (colon == std::string_view::npos || !PortNumber(value.substr(colon + 1))) return false;
  std::string_view host = value.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
    if (host.find(':') == std::string_view::npos) return false;  // brackets hold an IPv6 address
  } else if (host.find_first_of("[]:") != std::string_view::npos) {
    return false;  // an IPv6 address without brackets, or a stray bracket
  }
  if (host.empty() || host.find_first_of(" \t\r\n/") != std::string_view::npos) return false;
  target.host = std::string(host);
  target.port = std::string(value.substr(colon + 1));
  return true;
}

bool stream_open(std::string_view value) {
  stream_close();
  const std::string shown(value);
  Target target;
  if (!ParseTarget(value, target)) {
    Tell("--osc wants HOST:PORT (such as 127.0.0.1:9000, [::1]:9000 or localhost:9000), not \"" + shown +
         "\"; running without the stream");
    return false;
  }
  std::string why;
  if (!stream.socket.Open(target.host, target.port, why)) {
    Tell("cannot stream to " + shown + ": " + why + "; running without the stream");
    return false;
  }
  stream.target = shown;
  stream.open = true;
  stream.stopping = false;
  stream.repeater = std::thread(Repeat);
  return true;
}

void stream_close() {
  if (!stream.open) return;
  {
    std::lock_guard<std::mutex> held(stream.lock);
    stream.stopping = true;
  }
  stream.wake.notify_all();
  stream.repeater.join();
  if (stream.not_streamed > 0) {
    Tell(std::to_string(stream.not_streamed) + " of " + std::to_string(stream.packets) +
         " packets were not streamed to " + stream.target);
  }
  stream.socket.Close();
  stream.open = false;
  stream.next_seq.clear();
  stream.device_messages.clear();
  stream.packets = stream.not_streamed = 0;
  stream.told_refused = stream.told_not_sent = false;
}

bool streaming() { return stream.open; }

void stream_packet(std::int64_t time_us, rawinput::HANDLE device, std::int32_t index,
                   const rawinput::RAWMOUSE& mouse) {
  if (!stream.open) return;
  std::lock_guard<std::mutex> held(stream.lock);
  Message m(stream.buffer, "/velmora/packet", kPacketTags);
  recording::ForEachField(recording::FieldsOf(time_us, device, index, mouse), [&](auto value) {
    if constexpr (sizeof(value) == 8) {
      m.Int64(value);
    } else {
      m.Int32(static_cast<std::int32_t>(value));  // the unsigned fields as their 32 bits
    }
  });
  m.Int64(NextSeq(device));
  ++stream.packets;
  if (!SendLocked(stream.buffer)) ++stream.not_streamed;
}

void stream_drop(std::int64_t time_us, rawinput::HANDLE device, std::int32_t index) {
  if (!stream.open) return;
  std::lock_guard<std::mutex> held(stream.lock);
  Message(stream.buffer, "/velmora/drop", "hii").Int64(time_us).Int32(recording::HandleValue(device)).Int32(index);
  SendLocked(stream.buffer);
}

void stream_device(const packetlog::DeviceRow& row) {
  if (!stream.open) return;
  std::string message;
  Message(message, "/velmora/device", "iissiii")
      .Int32(recording::HandleValue(row.handle))
      .Int32(row.index)
      .String(packetlog::device_type_word(row.type))
      .String(row.name)
      .Int32(row.vendor)
      .Int32(row.product)
      .Int32(static_cast<std::int32_t>(row.clock_us));
  std::lock_guard<std::mutex> held(stream.lock);
  SendLocked(message);
  stream.device_messages.push_back(std::move(message));
}

CommandLineStream::CommandLineStream(bool asked, std::string_view target) {
  if (asked) stream_open(target);
}

CommandLineStream::~CommandLineStream() { stream_close(); }

}  // namespace osc
