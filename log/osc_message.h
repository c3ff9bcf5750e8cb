// OSC 1.0 messages: the address and the type tag string, each a string of zero
// padded to a multiple of 4 bytes, then the arguments, big-endian.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace osc {

class Message {
 public:
  // Starts a message in out, which keeps its room between messages. tags are the
  // arguments' types, without the leading comma: 'i' int32, 'h' int64, 's' string.
  Message(std::string& out, std::string_view address, std::string_view tags);

  Message& Int32(std::int32_t value) { return BigEndian(static_cast<std::uint32_t>(value), 4); }
  Message& Int64(std::int64_t value) { return BigEndian(static_cast<std::uint64_t>(value), 8); }
  // Cut at its first zero byte, which would end it for the receiver.
  Message& String(std::string_view text);

 private:
  Message& BigEndian(std::uint64_t value, int bytes);
  void Padded(std::string_view text);

  std::string& out_;
};

}  // namespace osc
