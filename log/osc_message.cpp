#include "log/osc_message.h"

namespace osc {

Message::Message(std::string& out, std::string_view address, std::string_view tags) : out_(out) {
  out_.clear();
  Padded(address);
  out_.push_back(',');
  out_.append(tags);
  // The comma counts toward the tag string's padding.
  out_.append(4 - (tags.size() + 1) % 4, '\0');
}

Message& Message::String(std::string_view text) {
  Padded(text.substr(0, text.find('\0')));
  return *this;
}

Message& Message::BigEndian(std::uint64_t value, int bytes) {
  for (int shift = (bytes - 1) * 8; shift >= 0; shift -= 8) out_.push_back(static_cast<char>((value >> shift) & 0xFF));
  return *this;
}

// The text, its terminating zero, and zeros up to the next multiple of 4.
void Message::Padded(std::string_view text) {
  out_.append(text);
  out_.append(4 - text.size() % 4, '\0');
}

}  // namespace osc
