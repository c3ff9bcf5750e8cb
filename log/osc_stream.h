// The OSC stream: every mouse packet, lost-events report and device, sent over
// UDP the moment the program handles it, beside the files it records. Sending
// never waits: a datagram the system cannot take now is not streamed, and is
// still recorded. Without an open stream each call here returns at once.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "log/recording.h"
#include "rawinput/records.h"

namespace osc {

struct Target {
  std::string host;  // a name, an IPv4 address, or an IPv6 address without its brackets
  std::string port;
};

// HOST:PORT, the host a name, an IPv4 address or an IPv6 address in brackets,
// the port 1 to 65535 in decimal. false when value is not one.
bool ParseTarget(std::string_view value, Target& target);

// Starts streaming to value (HOST:PORT). A malformed value, a name that does not
// resolve or a host with no route gets one line on stderr, and no stream.
bool stream_open(std::string_view value);
// Stops, and says on stderr how many packets were not streamed, if any.
void stream_close();
bool streaming();

// /velmora/packet: log.csv's row, then the device's own sequence number.
void stream_packet(std::int64_t time_us, rawinput::HANDLE device, std::int32_t index, const rawinput::RAWMOUSE& mouse);
// /velmora/drop: the service lost events of this device here.
void stream_drop(std::int64_t time_us, rawinput::HANDLE device, std::int32_t index);
// /velmora/device: sent now, and again once a second with every device known.
void stream_device(const packetlog::DeviceRow& row);

// The stream of one run, when the command line asks for one (--osc HOST:PORT):
// open from construction to destruction.
class CommandLineStream {
 public:
  CommandLineStream(bool asked, std::string_view target);
  ~CommandLineStream();
  CommandLineStream(const CommandLineStream&) = delete;
  CommandLineStream& operator=(const CommandLineStream&) = delete;
};

}  // namespace osc
